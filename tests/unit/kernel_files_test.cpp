#include "stats/kernel_files.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

class KernelFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/kernel-files-test.XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    root_ = templ;
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string file(const std::string& name, const std::string& content) {
    const std::string path = root_ + "/" + name;
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  std::string root_;
};

TEST_F(KernelFiles, APathTooLongForItsBufferNamesNoFile) {
  const std::string path = file("value", "42\n");
  Path fits(root_);
  fits.add("/value");
  EXPECT_EQ(readInteger(fits.c_str()), 42);

  // Cut back to the folder, a part that overflows, then cut back again: the
  // path is whole once more.
  Path path2(root_);
  path2.add("/");
  const size_t base = path2.add(std::string(600, 'x'));
  EXPECT_STREQ(path2.c_str(), "");
  EXPECT_EQ(readInteger(path2.c_str()), std::nullopt);
  path2.cut(base);
  path2.add("value");
  EXPECT_EQ(path2.c_str(), path);
  path2.cut(base);
  path2.add(int64_t{-12});
  EXPECT_EQ(path2.c_str(), root_ + "/-12");
}

TEST_F(KernelFiles, SmallFilesReadWholeAndAFifoDoesNotBlock) {
  char buf[8];
  EXPECT_EQ(readSmall(file("short", "1804800\n").c_str(), buf, sizeof buf), "1804800\n");
  // What does not fit is no value: the read stops at the buffer's end.
  EXPECT_EQ(readSmall(file("long", "123456789\n").c_str(), buf, sizeof buf), "12345678");
  EXPECT_EQ(readInteger(file("long2", "123456789\n").c_str()), 123456789);
  EXPECT_EQ(readInteger(file("text", "busy\n").c_str()), std::nullopt);
  EXPECT_EQ(readSmall((root_ + "/absent").c_str(), buf, sizeof buf), std::nullopt);
  // A FIFO without a writer, a folder: no value, and no wait.
  const std::string fifo = root_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_EQ(readInteger(fifo.c_str()), std::nullopt);
  fs::create_directories(root_ + "/folder");
  EXPECT_EQ(readInteger((root_ + "/folder").c_str()), std::nullopt);
}

// /proc/stat is read a page at a time only as far as its CPU lines: a line
// that the page's end cuts within "cpu" must not end the reading.
TEST_F(KernelFiles, CpuLinesPastTheFirstPageOfProcStat) {
  constexpr int kCpus = 100;
  const auto procStatText = [](size_t pad) {
    std::string lines;
    for (int cpu = 0; cpu < kCpus; ++cpu) {
      lines += "cpu" + std::to_string(cpu) + " 1000 0 0 1000 0 0 0 0 0 0\n";
    }
    return "cpu " + std::string(pad, ' ') + "100000 0 0 100000 0 0 0 0 0 0\n" + lines +
           "intr 1 2 3\n" + std::string(20000, '9') + "\n";
  };
  // Pads the first line so that a CPU line starts two bytes before 4096.
  const std::string plain = procStatText(1);
  const size_t last = plain.rfind("\ncpu", 4093) + 1;
  const std::string text = procStatText(1 + 4094 - last);
  ASSERT_EQ(text.compare(4093, 4, "\ncpu"), 0) << "the fixture must cut a line within \"cpu\"";
  const std::string path = file("proc/stat", text);

  std::string lines = "left from before";
  ASSERT_TRUE(readCpuLines(path.c_str(), &lines));
  EXPECT_NE(lines.find("\ncpu99 1000 0 0 1000 0 0 0 0 0 0\nintr"), std::string::npos);
  EXPECT_EQ(lines.rfind("cpu ", 0), 0u);
  // The interrupt counts beyond the page that ended the CPU lines are not
  // read.
  EXPECT_LE(lines.size(), (text.find("intr") / 4096 + 1) * 4096);
  EXPECT_FALSE(readCpuLines((root_ + "/absent").c_str(), &lines));
  EXPECT_TRUE(lines.empty());
}

// A folder that comes or goes changes its parent's link count, which the
// listing watches (its times too, but those move in steps of a clock tick).
TEST_F(KernelFiles, AListingIsMadeAgainWhenAFolderComesOrGoes) {
  for (const char* dir : {"cpu0", "cpu10", "cpu2", "cpufreq", "cpuidle", "cpu1x", "xcpu3",
                          "cpu1234567"}) {
    fs::create_directories(root_ + "/" + dir);
  }
  file("online", "0-2\n");
  Listing listing;
  EXPECT_EQ(listing.numbers(root_.c_str(), "cpu"), (std::vector<int>{0, 2, 10}));
  fs::create_directories(root_ + "/cpu3");
  EXPECT_EQ(listing.numbers(root_.c_str(), "cpu"), (std::vector<int>{0, 2, 3, 10}));
  fs::remove_all(root_ + "/cpu0");
  EXPECT_EQ(listing.numbers(root_.c_str(), "cpu"), (std::vector<int>{2, 3, 10}));
  // Another folder is listed afresh.
  fs::create_directories(root_ + "/zones/thermal_zone4");
  EXPECT_EQ(listing.numbers((root_ + "/zones").c_str(), "thermal_zone"), (std::vector<int>{4}));
  EXPECT_TRUE(listing.numbers((root_ + "/absent").c_str(), "cpu").empty());
}

}  // namespace
