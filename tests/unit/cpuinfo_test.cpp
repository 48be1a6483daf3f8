#include "cpuinfo/cpuinfo.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// A fake "/sys/devices/system/cpu" in a fresh temporary folder.
class CpuTree : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/cpuinfo-test.XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    root_ = templ;
  }
  void TearDown() override {
    // The list is module state: leave it empty for the next test.
    initFreqInfo(root_ + "/absent");
    fs::remove_all(root_);
  }

  void addDir(const std::string& name) { fs::create_directories(root_ + "/" + name); }
  void addFile(const std::string& path, const std::string& content) {
    fs::create_directories(fs::path(root_ + "/" + path).parent_path());
    std::ofstream(root_ + "/" + path, std::ios::binary) << content;
  }
  void addCpu(const std::string& name, const std::string& content) {
    addFile(name + "/cpufreq/scaling_cur_freq", content);
  }
  std::string report() {
    initFreqInfo(root_);
    return readCPUFreq(root_);
  }

  std::string root_;
};

TEST_F(CpuTree, TwelveCpusInByteWiseOrderWithDecoysAndNA) {
  for (int i = 0; i < 12; ++i) {
    addCpu("cpu" + std::to_string(i), std::to_string(300000 + i) + "\n");
  }
  addDir("cpufreq/policy0");
  addDir("cpuidle");
  addDir("power");
  addFile("online", "0-11\n");
  addFile("possible", "0-11\n");
  addFile("kernel_max", "11\n");
  addCpu(".cpu5", "999\n");    // dot entries are never CPUs
  addCpu("xcpu3", "777\n");    // the search is not anchored
  addDir("cpu12");             // a CPU without a cpufreq folder
  EXPECT_EQ(report(),
            "cpuFreq:300000,300001,300010,300011,NA,300002,300003,300004,"
            "300005,300006,300007,300008,300009,777");
}

TEST_F(CpuTree, OneCpuHasNoCommaAndNoneHasNoColon) {
  EXPECT_EQ(report(), "cpuFreq");
  addCpu("cpu0", "1804800\n");
  EXPECT_EQ(report(), "cpuFreq:1804800");
}

TEST_F(CpuTree, MissingDirectoryGivesAnEmptyList) {
  addCpu("cpu0", "1804800\n");
  EXPECT_EQ(report(), "cpuFreq:1804800");
  initFreqInfo(root_ + "/nowhere");
  EXPECT_EQ(readCPUFreq(root_), "cpuFreq");
}

TEST_F(CpuTree, ListChangesOnlyWhenRebuilt) {
  addCpu("cpu0", "100\n");
  EXPECT_EQ(report(), "cpuFreq:100");
  addCpu("cpu1", "200\n");
  EXPECT_EQ(readCPUFreq(root_), "cpuFreq:100");
  fs::remove_all(root_ + "/cpu0");
  EXPECT_EQ(readCPUFreq(root_), "cpuFreq:NA");
  EXPECT_EQ(report(), "cpuFreq:200");
}

TEST_F(CpuTree, ValueIsTheContentWithoutItsLastByte) {
  const struct {
    std::string content, value;
  } cases[] = {
      {"1804800\n", "1804800"},
      {"1804800", "180480"},  // the last byte goes, whatever it is
      {"\n", ""},
      {"", ""},
      {" 42 \n\n", " 42 \n"},
      {std::string(5000, '7') + "\n", std::string(5000, '7')},
      // Whole reads of the buffer, then the end.
      {std::string(4096, '7'), std::string(4095, '7')},
      {std::string(8191, '7') + "\n", std::string(8191, '7')},
  };
  for (const auto& c : cases) {
    addCpu("cpu0", c.content);
    EXPECT_EQ(readEachCpuFreq("cpu0", root_), c.value) << "content: " << c.content;
  }
}

TEST_F(CpuTree, UnreadableCpusGiveNA) {
  addDir("cpu0/cpufreq/scaling_cur_freq");  // a folder where the file should be
  addDir("cpu1");
  // A FIFO with no writer opens, and reads as empty at once: it is no value.
  addDir("cpu2/cpufreq");
  ASSERT_EQ(mkfifo((root_ + "/cpu2/cpufreq/scaling_cur_freq").c_str(), 0644), 0);
  EXPECT_EQ(readEachCpuFreq("cpu0", root_), "NA");
  EXPECT_EQ(readEachCpuFreq("cpu1", root_), "NA");
  EXPECT_EQ(readEachCpuFreq("cpu2", root_), "NA");
  EXPECT_EQ(readEachCpuFreq("cpu9", root_), "NA");
}

TEST_F(CpuTree, PathMustFitItsBuffer) {
  // The longest path that fits is 127 bytes: root, "/", name, the file's path.
  const size_t fixed = root_.size() + 1 + std::string("/cpufreq/scaling_cur_freq").size();
  const std::string fits = "cpu0" + std::string(127 - fixed - 4, 'a');
  const std::string tooLong = fits + "a";
  addCpu(fits, "1\n");
  addCpu(tooLong, "2\n");
  EXPECT_EQ(readEachCpuFreq(fits, root_), "1");
  EXPECT_EQ(readEachCpuFreq(tooLong, root_), "NA");
  EXPECT_EQ(report(), "cpuFreq:1,NA");
}

TEST(CpuFreqReport, JoinsTheValuesInOrder) {
  const struct {
    std::vector<std::string> values;
    const char* report;
  } cases[] = {
      {{}, "cpuFreq"},
      {{"1804800"}, "cpuFreq:1804800"},
      {{"300000", "NA", "2841600"}, "cpuFreq:300000,NA,2841600"},
      // An empty file gives an empty value, which keeps its place.
      {{"", ""}, "cpuFreq:,"},
  };
  for (const auto& c : cases) EXPECT_EQ(cpuFreqReport(c.values), c.report);
}

TEST_F(CpuTree, ReportIsNeverCut) {
  std::string expected = "cpuFreq:";
  std::vector<std::string> names;
  for (int i = 0; i < 128; ++i) names.push_back("cpu" + std::to_string(i));
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) addCpu(name, "2" + name.substr(3) + "00000\n");
  for (const std::string& name : names) expected += "2" + name.substr(3) + "00000,";
  expected.pop_back();
  const std::string got = report();
  EXPECT_GT(got.size(), 511u);
  EXPECT_EQ(got, expected);
}

}  // namespace
