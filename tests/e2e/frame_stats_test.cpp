// GET_FRAMESTATS of the real daemon over the simulated device, whose every
// frame is known: each reply must be the figures of a run of frames the
// device presented, whatever tick it came from.
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "device_config.h"
#include "harness.h"
#include "surface_flinger.h"

namespace {

namespace fs = std::filesystem;
using e2e::ask;
using Clock = std::chrono::steady_clock;

constexpr char kPackage[] = "com.example.game";
constexpr int64_t kNs = 1000000000;

int64_t monotonicNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * kNs + now.tv_nsec;
}

// A reply's lines by name.
std::map<std::string, std::string> fieldsOf(const std::string& reply) {
  std::map<std::string, std::string> fields;
  std::istringstream in(reply);
  std::string line;
  while (std::getline(in, line)) {
    const size_t space = line.find(' ');
    if (space != std::string::npos) fields[line.substr(0, space)] = line.substr(space + 1);
  }
  return fields;
}

struct Figures {
  size_t frames = 0;
  double fps = 0;
  double windowMs = 0;
  double p95Ms = 0;
  double maxMs = 0;
  unsigned jank = 0;
  unsigned bigJank = 0;
  unsigned missed = 0;
};

// The figures of a reply of a measured tick with frames, or none.
std::optional<Figures> figuresOf(const std::map<std::string, std::string>& f) {
  if (f.at("state") != "collecting" || f.at("fps") == "NA" || f.at("frame_ms_max") == "NA") {
    return std::nullopt;
  }
  Figures fig;
  fig.frames = std::stoul(f.at("frames"));
  fig.fps = std::stod(f.at("fps"));
  fig.windowMs = std::stod(f.at("window_ms"));
  fig.p95Ms = std::stod(f.at("frame_ms_p95"));
  fig.maxMs = std::stod(f.at("frame_ms_max"));
  fig.jank = static_cast<unsigned>(std::stoul(f.at("jank")));
  fig.bigJank = static_cast<unsigned>(std::stoul(f.at("big_jank")));
  fig.missed = static_cast<unsigned>(std::stoul(f.at("missed_vsyncs")));
  return fig;
}

// Whether n frames of the device, the first after presents[k], give these
// figures. The jank rule sees the three frames before each, from the
// device's history, or only within the run when its first frame's time was
// not known to the daemon either.
bool runGives(const std::vector<int64_t>& presents, size_t k, size_t n, bool historyKnown,
              int64_t periodNs, const Figures& fig) {
  std::vector<int64_t> times;
  int64_t span = 0;
  unsigned jank = 0, big = 0, missed = 0;
  for (size_t i = k + 1; i <= k + n; ++i) {
    const int64_t t = presents[i] - presents[i - 1];
    const size_t before = historyKnown ? i - 1 : i - 1 - k;
    if (before >= 3) {
      const int64_t sum = (presents[i - 1] - presents[i - 4]);
      if (3 * t > 2 * sum && t > 83300000) {
        ++jank;
        if (t > 125000000) ++big;
      }
    }
    if (2 * t > 3 * periodNs) ++missed;
    times.push_back(t);
    span += t;
  }
  std::sort(times.begin(), times.end());
  const double fps = static_cast<double>(n) * 1e9 / static_cast<double>(span);
  const double p95 = static_cast<double>(times[std::max<size_t>((n * 95 + 99) / 100, 1) - 1]) / 1e6;
  const double max = static_cast<double>(times.back()) / 1e6;
  return std::fabs(fps - fig.fps) <= 0.05 + 1e-9 && std::fabs(p95 - fig.p95Ms) <= 0.005 + 1e-9 &&
         std::fabs(max - fig.maxMs) <= 0.005 + 1e-9 && jank == fig.jank && big == fig.bigJank &&
         missed == fig.missed;
}

// Whether the figures are those of some run of the device's frames: all of
// them timed, or all but the first (the first tick, or frames lost between
// two outputs).
bool matchesTheDevice(const std::vector<int64_t>& presents, int64_t periodNs, const Figures& fig) {
  for (const size_t n : {fig.frames, fig.frames - 1}) {
    if (n == 0 || n + 1 > presents.size()) continue;
    for (size_t k = 0; k + n < presents.size(); ++k) {
      if (runGives(presents, k, n, n == fig.frames, periodNs, fig)) return true;
    }
  }
  return false;
}

// One daemon per test over a simulated device in a folder of its own. The
// daemon's dumpsys is a script that notes every listing, one per tick, then
// runs the simulator's.
class FrameStats : public e2e::DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    simDir_ = e2e::makeSimDir();
    ASSERT_FALSE(simDir_.empty());
    fs::create_directory(simDir_ + "/bin");
    const std::string script = simDir_ + "/bin/dumpsys";
    std::ofstream(script) << "#!/bin/sh\n"
                          << "[ \"$2\" = --list ] && echo tick >> \"$PERFPROBE_SIM_DIR/ticks\"\n"
                          << "echo \"$*\" >> \"$PERFPROBE_SIM_DIR/commands\"\n"
                          << "exec " << e2e::dumpsysBinDir << "/dumpsys \"$@\"\n";
    fs::permissions(script, fs::perms::owner_all);
    path_ = getenv("PATH");
    setenv("PATH", (simDir_ + "/bin:" + path_).c_str(), 1);
    e2e::addCpu("cpu0", "300000\n");
    launch();
  }

  void TearDown() override {
    DaemonTest::TearDown();
    setenv("PATH", path_.c_str(), 1);
    std::error_code ec;
    fs::remove_all(simDir_, ec);
  }

  // A device whose app started agoS seconds ago, as device.conf says.
  void device(const std::string& conf, double agoS) {
    std::ofstream(simDir_ + "/device.conf") << "package=" << kPackage << "\n" << conf;
    std::string why;
    const auto config = sim::parseDeviceConfig("package=" + std::string(kPackage) + "\n" + conf, &why);
    ASSERT_TRUE(config.has_value()) << why;
    config_ = *config;
    appStartNs_ = e2e::startSimApp(simDir_, static_cast<int64_t>(agoS * 1e9));
  }

  // Every frame the app presented until now.
  std::vector<int64_t> presented() const {
    return sim::presentedFrames(config_, appStartNs_, appStartNs_, monotonicNs());
  }

  // Starts a collection, then takes `count` replies of ticks that measured
  // frames, a third of a second apart, each checked against the device's
  // frames.
  std::vector<Figures> collect(size_t count) {
    EXPECT_EQ(ask("STOP_COLLECT"), "success");
    EXPECT_EQ(ask(std::string("INITIALIZATION:") + kPackage), "success");
    std::vector<Figures> out;
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (out.size() < count && Clock::now() < deadline) {
      e2e::nap(330);
      const auto reply = ask("GET_FRAMESTATS");
      if (!reply) continue;
      const auto fields = fieldsOf(*reply);
      const auto fig = figuresOf(fields);
      if (!fig) continue;
      const std::vector<int64_t> presents = presented();
      EXPECT_TRUE(matchesTheDevice(presents, sim::refreshPeriodNs(config_), *fig))
          << "no run of the device's frames gives\n" << *reply;
      out.push_back(*fig);
    }
    EXPECT_EQ(out.size(), count) << "too few measured ticks";
    return out;
  }

  // Starts a collection, then takes `count` replies with figures from the
  // time statistics, a third of a second apart.
  std::vector<std::map<std::string, std::string>> collectTimeStats(size_t count) {
    EXPECT_EQ(ask("STOP_COLLECT"), "success");
    EXPECT_EQ(ask(std::string("INITIALIZATION:") + kPackage), "success");
    std::vector<std::map<std::string, std::string>> out;
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (out.size() < count && Clock::now() < deadline) {
      e2e::nap(330);
      auto fields = fieldsOf(ask("GET_FRAMESTATS").value_or(""));
      if (fields["source"] != "timestats" || fields["fps"] == "NA") continue;
      out.push_back(std::move(fields));
    }
    EXPECT_EQ(out.size(), count) << "too few measured ticks";
    return out;
  }

  // Runs the simulated device's dumpsys with these arguments.
  void dumpsys(const std::string& args) {
    ASSERT_EQ(system((e2e::dumpsysBinDir + "/dumpsys " + args + " >/dev/null").c_str()), 0) << args;
  }

  // The dumpsys commands the daemon ran, each as its arguments after
  // "dumpsys", one a line.
  std::vector<std::string> commands() const {
    std::ifstream in(simDir_ + "/commands");
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

  // The ticks the daemon has begun.
  size_t ticks() const {
    std::ifstream in(simDir_ + "/ticks");
    size_t n = 0;
    for (std::string line; std::getline(in, line);) ++n;
    return n;
  }

  std::string simDir_;
  std::string path_;
  sim::DeviceConfig config_;
  int64_t appStartNs_ = 0;
};

TEST_F(FrameStats, TheRateHoldsOnEveryPanelAndAtEveryFrameRate) {
  for (const int hz : {60, 90, 120, 144}) {
    for (const int fps : {24, 30, 45, 60, 90, 120, 144}) {
      if (fps > hz) continue;
      SCOPED_TRACE(std::to_string(fps) + " FPS on " + std::to_string(hz) + " Hz");
      device("refresh_hz=" + std::to_string(hz) + "\nfps=" + std::to_string(fps) + "\n", 5);
      for (const Figures& fig : collect(3)) {
        // Within 1 % of the app's rate, but for where the window's ends fall
        // among frames spread unevenly over the vsyncs (45 FPS on 60 Hz):
        // they move its span by less than a refresh period.
        const double vsyncs = static_cast<double>(sim::refreshPeriodNs(config_)) * fps *
                              fps / 1e9 / static_cast<double>(fig.frames);
        EXPECT_NEAR(fig.fps, fps, std::max(fps * 0.01, vsyncs) + 0.05) << fig.frames << " frames";
        EXPECT_EQ(fig.jank, 0u);
      }
    }
  }
}

TEST_F(FrameStats, StallsAreJankOrBigJankByTheirLength) {
  // 60 FPS with a stall every 1.5 s: a 100 ms stall makes one frame of about
  // 117 ms (a jank), a 200 ms stall one of about 217 ms (a big jank too).
  for (const int stallMs : {100, 200}) {
    SCOPED_TRACE(std::to_string(stallMs) + " ms stalls");
    device("fps=60\nstall_every_s=1.5\nstall_ms=" + std::to_string(stallMs) + "\n", 5);
    unsigned jank = 0, big = 0;
    for (const Figures& fig : collect(12)) {
      jank += fig.jank;
      big += fig.bigJank;
      // A tick's window holds one stall at most; the first tick's reaches
      // back over 2 s of frames.
      if (fig.windowMs < 1400) {
        EXPECT_LE(fig.jank, 1u) << fig.windowMs << " ms";
      }
      if (fig.jank == 1) {
        EXPECT_GT(fig.maxMs, stallMs);
      }
    }
    EXPECT_GE(jank, 1u);
    EXPECT_EQ(big > 0, stallMs == 200) << big;
  }
}

TEST_F(FrameStats, AnAppThatStopsDrawingReadsZeroWithinTwoTicks) {
  // The app draws 60 FPS until 6 s after its start, a second from now.
  device("fps=0:60,6:0\n", 5);
  ASSERT_FALSE(collect(2).empty());
  // Past the last frame, which the panel shows at its next vsync.
  while (monotonicNs() < appStartNs_ + 6 * kNs + 100000000) e2e::nap(50);
  ASSERT_LT(presented().back(), monotonicNs());
  // The tick that began after the last frame may still count it; the next
  // one counts nothing. Once the one after that has begun, the second has
  // published.
  const size_t begun = ticks();
  ASSERT_TRUE(e2e::waitFor([&] { return ticks() >= begun + 3; }, std::chrono::seconds(20)));
  const auto fields = fieldsOf(ask("GET_FRAMESTATS").value_or(""));
  EXPECT_EQ(fields.at("state"), "collecting");
  EXPECT_EQ(fields.at("fps"), "0.0");
  EXPECT_EQ(fields.at("frames"), "0");
  EXPECT_EQ(fields.at("frame_ms_max"), "NA");
}

TEST_F(FrameStats, EveryListingShapeGivesTheFrameLayer) {
  const std::string window = std::string(kPackage) + "/" + kPackage + ".MainActivity";
  const struct {
    int android;
    std::string layerStart;  // the layer line's start
  } cases[] = {
      {7, "SurfaceView - " + window},
      {10, "SurfaceView - " + window + "#0"},
      {12, "SurfaceView[" + window + "](BLAST)#0"},
      {13, "SurfaceView[" + window + "](BLAST)#"},
      // The bare name, as the latency command takes it.
      {15, "SurfaceView[" + window + "](BLAST)#"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("Android " + std::to_string(c.android));
    device("android=" + std::to_string(c.android) + "\nrefresh_hz=90\nfps=30\n", 5);
    ASSERT_FALSE(collect(2).empty());
    const auto fields = fieldsOf(ask("GET_FRAMESTATS").value_or(""));
    EXPECT_EQ(fields.at("layer").substr(0, c.layerStart.size()), c.layerStart) << fields.at("layer");
    EXPECT_EQ(fields.at("layer"), sim::frameLayerName(config_, appStartNs_));
    EXPECT_EQ(fields.at("refresh_hz"), "90.0");
    // GET_FPS reads the same layers, bare names included: 30 frames a
    // second, less one.
    EXPECT_TRUE(e2e::waitForReply("GET_FPS", "29", std::chrono::seconds(15)));
  }
}

TEST_F(FrameStats, LinesAroundTheRowsChangeNothing) {
  for (const std::string prefix : {"unresponsive", "without_lock"}) {
    SCOPED_TRACE(prefix);
    device("refresh_hz=120\nfps=60\nprefix=" + prefix + "\nprefix_percent=50\ntimeout_suffix=1\n", 5);
    for (const Figures& fig : collect(4)) EXPECT_NEAR(fig.fps, 60, 0.7);
    EXPECT_EQ(fieldsOf(ask("GET_FRAMESTATS").value_or("")).at("refresh_hz"), "120.0");
  }
}

// Android 14 QPR2 and QPR3 list no layer and give latency outputs without a
// row: the frames come from the compositor's time statistics, whose frame
// times are whole milliseconds.
TEST_F(FrameStats, Android14Qpr2ReadsTheTimeStatisticsOnEveryPanel) {
  const struct {
    int hz;
    const char* p50;  // the middle of the bucket of a frame time of 1/hz
  } cases[] = {{60, "16.50"}, {90, "11.50"}, {120, "8.50"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.hz) + " Hz");
    device("android=14qpr2\nrefresh_hz=" + std::to_string(c.hz) + "\nfps=" + std::to_string(c.hz) + "\n",
           5);
    for (const auto& f : collectTimeStats(3)) {
      const double windowMs = std::stod(f.at("window_ms"));
      // A dump's moment is known to within its command's run: a frame more
      // or less at either end of the window.
      EXPECT_NEAR(std::stod(f.at("fps")), c.hz, 2000.0 / windowMs + 0.1) << f.at("frames");
      EXPECT_EQ(f.at("frame_ms_p50"), c.p50);
      EXPECT_EQ(f.at("jank"), "0");
      EXPECT_EQ(f.at("os_jank"), "0");
      EXPECT_EQ(f.at("refresh_hz"), std::to_string(c.hz) + ".0");
      EXPECT_EQ(f.at("layer"), sim::frameLayerName(config_, appStartNs_));
    }
  }
  // The statistics were enabled once, never cleared or disabled, and no
  // latency command ran.
  const std::vector<std::string> ran = commands();
  EXPECT_EQ(std::count(ran.begin(), ran.end(), "SurfaceFlinger --timestats -enable"), 3);
  for (const std::string& command : ran) {
    EXPECT_TRUE(command == "SurfaceFlinger --list" || command == "SurfaceFlinger --timestats -enable" ||
                command == "SurfaceFlinger --timestats -dump")
        << command;
  }
}

TEST_F(FrameStats, Android14Qpr2StallsResetsAndAnAppThatStops) {
  // 200 ms stalls every 1.5 s: frames of some 217 ms, in the 250 ms bucket.
  device("android=14qpr2\nfps=60\nstall_every_s=1.5\nstall_ms=200\n", 5);
  unsigned jank = 0, big = 0;
  for (const auto& f : collectTimeStats(10)) {
    jank += static_cast<unsigned>(std::stoul(f.at("jank")));
    big += static_cast<unsigned>(std::stoul(f.at("big_jank")));
    // 200 ms and a frame, or a stall that ends on a vsync: the 250 or the
    // 200 ms bucket.
    if (f.at("jank") != "0") {
      EXPECT_TRUE(f.at("frame_ms_max") == "226.00" || f.at("frame_ms_max") == "176.00")
          << f.at("frame_ms_max");
    }
  }
  EXPECT_GE(jank, 1u);
  EXPECT_EQ(big, jank);

  // The statistics service clears the counters: never a negative or an
  // outsized rate, and the figures come back.
  device("android=14qpr2\nfps=60\n", 5);
  ASSERT_FALSE(collectTimeStats(2).empty());
  dumpsys("SurfaceFlinger --timestats -clear");
  const size_t begun = ticks();
  size_t measured = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while ((ticks() < begun + 4 || measured < 2) && Clock::now() < deadline) {
    e2e::nap(330);
    const auto f = fieldsOf(ask("GET_FRAMESTATS").value_or(""));
    EXPECT_EQ(f.at("state"), "collecting");
    EXPECT_EQ(f.at("source"), "timestats");
    if (f.at("fps") == "NA") continue;
    const double windowMs = std::stod(f.at("window_ms"));
    EXPECT_NEAR(std::stod(f.at("fps")), 60, 2000.0 / windowMs + 0.1) << f.at("frames");
    measured += ticks() >= begun + 2;
  }
  EXPECT_GE(measured, 2u);
  const int fps = std::stoi(ask("GET_FPS").value_or("0"));
  EXPECT_TRUE(fps >= 50 && fps <= 62) << fps;

  // The app draws 60 FPS until 6 s after its start, a second from now.
  device("android=14qpr2\nfps=0:60,6:0\n", 5);
  ASSERT_FALSE(collectTimeStats(2).empty());
  while (monotonicNs() < appStartNs_ + 6 * kNs + 100000000) e2e::nap(50);
  const size_t stopped = ticks();
  ASSERT_TRUE(e2e::waitFor([&] { return ticks() >= stopped + 3; }, std::chrono::seconds(20)));
  const auto fields = fieldsOf(ask("GET_FRAMESTATS").value_or(""));
  EXPECT_EQ(fields.at("fps"), "0.0");
  EXPECT_EQ(fields.at("frames"), "0");
  EXPECT_TRUE(e2e::waitForReply("GET_FPS", "0", std::chrono::seconds(15)));
}

// Frame-timeline outputs hold 64 rows, some half a second at 120 FPS: reads
// between ticks must see every frame, and stalls wherever they fall.
TEST_F(FrameStats, ShortOutputsLoseNoFrameAtHighRates) {
  // Stalls every 1.37 s fall at a different moment of each tick.
  device("refresh_hz=120\nfps=120\nlatency_rows=64\nstall_every_s=1.37\nstall_ms=150\n", 5);
  unsigned jank = 0;
  for (const Figures& fig : collect(8)) {
    // A 150 ms stall takes 18 of a window's frames; one read a tick would
    // see 64 at most.
    EXPECT_GE(static_cast<double>(fig.frames), 0.8 * 120 * fig.windowMs / 1000) << fig.windowMs << " ms";
    jank += fig.jank;
  }
  EXPECT_GE(jank, 1u);
}

// A layer whose output is far from full is read once a tick, as ever.
TEST_F(FrameStats, At60FpsATickRunsTheSameCommands) {
  device("fps=60\n", 5);
  ASSERT_FALSE(collect(3).empty());
  EXPECT_EQ(ask("STOP_COLLECT"), "success");
  // Once the stop is answered no command starts.
  const std::vector<std::string> ran = commands();
  size_t lists = 0, latencies = 0;
  for (const std::string& command : ran) {
    lists += command == "SurfaceFlinger --list";
    latencies += command.rfind("SurfaceFlinger --latency ", 0) == 0;
  }
  // The listing's matching layers, each read once per listing (the stop may
  // cut the last tick short).
  std::istringstream listing(sim::layerListing(config_, appStartNs_));
  size_t matching = 0;
  for (std::string line; std::getline(listing, line);) matching += line.find(kPackage) != std::string::npos;
  ASSERT_GE(matching, 1u);
  EXPECT_LE(latencies, lists * matching);
  EXPECT_GE(latencies, (lists - 1) * matching);
}

}  // namespace
