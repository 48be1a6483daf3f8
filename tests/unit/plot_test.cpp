// The monitor's plot: the gnuplot script of a table, and gnuplot run on it.
#include "plot.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "client_fixture.h"
#include "series.h"

namespace {

using namespace perfprobe;
using fixture::deviceTable;
using fixture::frameTable;
using fixture::kNoFrames;
using fixture::rateTable;
using fixture::Replies;

TEST(ClientPlot, PlotScriptQuotesWhatItIsGivenAndNamesEmptyPanels) {
  const Table both = rateTable({{1, 59, {1000, std::nullopt}}}, 2);
  const std::string script = plotScript("/tmp/d", "/x/it's.png", "monitor a'b_c", both);
  EXPECT_NE(script.find("set output '/x/it''s.png'\n"), std::string::npos) << script;
  EXPECT_NE(script.find("title 'monitor a''b_c' noenhanced"), std::string::npos) << script;
  EXPECT_NE(script.find("set terminal pngcairo size 1280,900 "), std::string::npos) << script;
  EXPECT_NE(script.find("set multiplot layout 2,1 "), std::string::npos) << script;
  EXPECT_NE(script.find("plot '/tmp/d' using 1:2 with linespoints lw 2 pt 7 ps 0.6 title 'FPS', "
                        "30 with lines dashtype 2 lc rgb 'gray40' title '30 FPS'\n"),
            std::string::npos)
      << script;
  // Each CPU its own column in MHz; one without a value keeps its place in
  // the key.
  EXPECT_NE(script.find("plot '/tmp/d' using 1:(column(3)/1000.0) with lines lw 1.5 title "
                        "'cpu0', NaN with lines lw 1.5 title 'cpu1'\n"),
            std::string::npos)
      << script;
  EXPECT_EQ(script.find("set label"), std::string::npos) << script;
  // Only the bottom panel names the time axis.
  EXPECT_LT(script.find("set xlabel 'time (s)'"), script.find("CPU frequency"));
  EXPECT_GT(script.find("set xlabel 'time (s)'"), script.find("frames per second"));

  // gnuplot fails on a panel without a single value: such a panel says why.
  const std::string empty = plotScript("/tmp/d", "/x/p.png", "t",
                                       rateTable({{1, std::nullopt, {std::nullopt}}}, 1));
  EXPECT_NE(empty.find("'no frame rate'"), std::string::npos) << empty;
  EXPECT_NE(empty.find("'no CPU frequency'"), std::string::npos) << empty;
  EXPECT_EQ(empty.find("/tmp/d"), std::string::npos) << empty;
  const std::string noCpu = plotScript("/tmp/d", "/x/p.png", "t", rateTable({{1, 59, {}}}, 0));
  EXPECT_NE(noCpu.find("'no CPU listed'"), std::string::npos) << noCpu;
}

TEST(ClientPlot, FrameTimesWithTheJankMarked) {
  const Table t = frameTable(
      {
          {60.0, 60, 1000, 16.67, 16.68, 16.70, 0, 0, 0, 60.0, 0.0, 1785600, std::nullopt},
          {55.0, 55, 1000, 16.67, 33.33, 150.0, 2, 1, 3, 60.0, 240.0, 300000, std::nullopt},
          kNoFrames,
      },
      2);
  // Three panels: the rate, the frame times with the jank marked on the
  // longest frame (column 7) where column 8 (jank) or 9 (big_jank) is above
  // 0, and the CPUs from column 17, after the source and the phone's counts.
  const std::string script = plotScript("/tmp/d", "/x/p.png", "t", t);
  EXPECT_NE(script.find("size 1280,1350 "), std::string::npos) << script;
  EXPECT_NE(script.find("set multiplot layout 3,1 "), std::string::npos) << script;
  EXPECT_NE(script.find("set ylabel 'frame time (ms)'\nset yrange [0:*]\n"
                        "plot '/tmp/d' using 1:5 with lines lw 1.5 title 'p50', "
                        "'/tmp/d' using 1:6 with lines lw 1.5 title 'p95', "
                        "'/tmp/d' using 1:7 with lines lw 1.5 title 'max', "
                        "'/tmp/d' using 1:(column(8) > 0 ? column(7) : NaN) with points pt 7 "
                        "ps 1.2 lc rgb 'orange' title 'jank', "
                        "'/tmp/d' using 1:(column(9) > 0 ? column(7) : NaN) with points pt 5 "
                        "ps 1.6 lc rgb 'red' title 'big jank'\n"),
            std::string::npos)
      << script;
  EXPECT_NE(script.find("using 1:(column(17)/1000.0) with lines lw 1.5 title 'cpu0'"),
            std::string::npos)
      << script;
  EXPECT_EQ(script.find("set ylabel", script.find("frame time") + 1),
            script.find("set ylabel 'CPU frequency (MHz)'"))
      << script;

  // No sample with a jank frame: the marks keep their place in the key
  // without a point, which gnuplot would refuse.
  const Table smooth = frameTable({{60.0, 60, 1000, 16.67, 16.68, 16.70, 0, 0, 0, 60.0, 0.0}}, 0);
  const std::string calm = plotScript("/tmp/d", "/x/p.png", "t", smooth);
  EXPECT_NE(calm.find("title 'max', NaN with points pt 7 ps 1.2 lc rgb 'orange' title 'jank', "
                      "NaN with points pt 5 ps 1.6 lc rgb 'red' title 'big jank'\n"),
            calm.npos)
      << calm;
  const std::string none = plotScript("/tmp/d", "/x/p.png", "t", frameTable({kNoFrames}, 0));
  EXPECT_NE(none.find("'no frame time'"), none.npos) << none;
}

// The monitor of GET_STATS: kinds of one panel share it.
TEST(ClientPlot, DevicePanels) {
  Replies probe;
  Replies daemon;
  const Table t = deviceTable(&probe, &daemon);
  // Six panels: the rate, the clusters' clocks instead of each CPU's, the
  // load, the GPU, the hottest zone beside the skin's and the battery's,
  // and the power.
  const std::string script = plotScript("/tmp/d", "/x/p.png", "t", t);
  EXPECT_NE(script.find("set multiplot layout 6,1 "), std::string::npos) << script;
  EXPECT_NE(script.find("set ylabel 'CPU frequency (MHz)'\n"
                        "plot '/tmp/d' using 1:(column(6)/1000.0) with lines lw 1.5 title "
                        "'cpu0-1', '/tmp/d' using 1:(column(7)/1000.0) with lines lw 1.5 title "
                        "'cpu2'\n"),
            std::string::npos)
      << script;
  EXPECT_NE(script.find("set termoption noenhanced\n"), std::string::npos) << script;
  EXPECT_NE(script.find("set ylabel 'temperature (°C)'\n"
                        "plot '/tmp/d' using 1:20 with lines lw 1.5 title 'skin_therm', "
                        "'/tmp/d' using 1:21 with lines lw 1.5 title 'battery', "
                        "'/tmp/d' using 1:22 with lines lw 1.5 title 'hottest'\n"),
            std::string::npos)
      << script;
  for (const char* panel : {"'load (%)'", "'GPU frequency (MHz)'", "'battery power (mW)'"}) {
    EXPECT_NE(script.find(panel), std::string::npos) << panel;
  }
  EXPECT_EQ(script.find("title 'cpu0'"), std::string::npos) << script;
  // The loads of the device, of each cluster and of the GPU on one panel.
  EXPECT_NE(script.find("set ylabel 'load (%)'\nset yrange [0:*]\n"
                        "plot '/tmp/d' using 1:10 with lines lw 1.5 title 'CPU load', "
                        "'/tmp/d' using 1:11 with lines lw 1.5 title 'cpu0-1 load', "
                        "'/tmp/d' using 1:12 with lines lw 1.5 title 'cpu2 load', "
                        "'/tmp/d' using 1:13 with lines lw 1.5 title 'GPU busy'\n"),
            std::string::npos)
      << script;
  EXPECT_NE(script.find("set ylabel 'GPU frequency (MHz)'\n"
                        "plot '/tmp/d' using 1:(column(17)/1000.0) with lines lw 1.5 title 'GPU', "
                        "'/tmp/d' using 1:(column(18)/1000.0) with lines lw 1.5 title 'GPU max'\n"),
            std::string::npos)
      << script;
  // In the order of their first kinds; only the last names the time axis.
  std::vector<size_t> at;
  for (const char* label : {"'frames per second'", "'CPU frequency (MHz)'", "'load (%)'",
                            "'GPU frequency (MHz)'", "'temperature (°C)'",
                            "'battery power (mW)'"}) {
    at.push_back(script.find(std::string("set ylabel ") + label));
  }
  EXPECT_EQ(std::count(at.begin(), at.end(), std::string::npos), 0) << script;
  EXPECT_TRUE(std::is_sorted(at.begin(), at.end())) << script;
  EXPECT_GT(script.find("set xlabel 'time (s)'"), at[4]);
  EXPECT_LT(script.find("set xlabel 'time (s)'"), at[5]);
}

// A gnuplot first on PATH that keeps its script and the data file the
// script names in its folder, and exits with `status`.
class StandInGnuplot {
 public:
  explicit StandInGnuplot(int status) {
    char tmpl[] = "/tmp/perfprobe-plot-test-XXXXXX";
    EXPECT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    std::ofstream(dir_ / "gnuplot")
        << "#!/bin/sh\n"
        << "cat > '" << (dir_ / "script").string() << "'\n"
        << "data=$(sed -n \"s/^plot '\\([^']*\\)'.*/\\1/p\" '" << (dir_ / "script").string()
        << "' | head -n 1)\n"
        << "[ -z \"$data\" ] || cp \"$data\" '" << (dir_ / "data").string() << "'\n"
        << "exit " << status << "\n";
    chmod((dir_ / "gnuplot").c_str(), 0755);
    const char* path = getenv("PATH");
    if (path != nullptr) path_ = path;
    setenv("PATH", (dir_.string() + ":" + path_).c_str(), 1);
  }
  ~StandInGnuplot() {
    setenv("PATH", path_.c_str(), 1);
    std::filesystem::remove_all(dir_);
  }
  std::string read(const char* name) const {
    std::ifstream in(dir_ / name);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  const std::filesystem::path& dir() const { return dir_; }

 private:
  std::filesystem::path dir_;
  std::string path_;
};

// The monitor ignores SIGPIPE, so that a gnuplot that left early shows only
// in its status.
class IgnoredSigpipe {
 public:
  IgnoredSigpipe() { old_ = signal(SIGPIPE, SIG_IGN); }
  ~IgnoredSigpipe() { signal(SIGPIPE, old_); }

 private:
  void (*old_)(int);
};

TEST(ClientPlot, GnuplotRendersTheTableFromATemporaryFile) {
  const Table t = rateTable({{1, 59, {1000, std::nullopt}}, {2.5, std::nullopt, {2000, 3000}}}, 2);
  const IgnoredSigpipe ignored;
  const StandInGnuplot gnuplot(0);
  const std::string png = (gnuplot.dir() / "it's.png").string();
  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(renderPlot(t, png, "monitor"));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  // The script on its standard input; the CSV's rows, spaced, in a file
  // that is gone once gnuplot has run.
  const std::string script = gnuplot.read("script");
  const size_t from = script.find("plot '") + 6;
  const std::string data = script.substr(from, script.find('\'', from) - from);
  EXPECT_EQ(data.rfind("/tmp/perfprobe-plot-", 0), 0u) << script;
  EXPECT_EQ(script, plotScript(data, png, "monitor", t));
  EXPECT_EQ(gnuplot.read("data"), "1.000 59 1000 NA\n2.500 NA 2000 3000\n");
  EXPECT_FALSE(std::filesystem::exists(data)) << data;
}

TEST(ClientPlot, SaysSoWhenGnuplotFails) {
  const Table t = rateTable({{1, 59, {1000}}}, 1);
  const IgnoredSigpipe ignored;
  for (const int status : {1, 127}) {
    const StandInGnuplot gnuplot(status);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(renderPlot(t, "/x/p.png", "t")) << status;
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "perfprobe: gnuplot could not render /x/p.png\n")
        << status;
  }
  // None on PATH at all.
  const StandInGnuplot gnuplot(0);
  std::filesystem::remove(gnuplot.dir() / "gnuplot");
  setenv("PATH", gnuplot.dir().c_str(), 1);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(renderPlot(t, "/x/p.png", "t"));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "perfprobe: gnuplot could not render /x/p.png\n");
}

}  // namespace
