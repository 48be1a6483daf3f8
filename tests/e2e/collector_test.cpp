#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "dumpsys_double/time_stats.h"
#include "harness.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using e2e::UdpClient;
using e2e::ask;
using e2e::nap;
using Clock = std::chrono::steady_clock;
using Calls = std::vector<std::vector<std::string>>;

// Generous: a tick runs nine commands, and under emulation a fork of the
// daemon is slow.
constexpr auto kSettle = std::chrono::seconds(15);

const std::vector<std::string> kList = {"SurfaceFlinger", "--list"};

std::vector<std::string> latencyCall(const std::string& layerName) {
  return {"SurfaceFlinger", "--latency", layerName};
}

size_t countOf(const Calls& calls, const std::vector<std::string>& call) {
  return static_cast<size_t>(std::count(calls.begin(), calls.end(), call));
}

// The layer names of the latency calls.
std::set<std::string> latencyNames(const Calls& calls) {
  std::set<std::string> names;
  for (const auto& call : calls) {
    if (call.size() == 3 && call[1] == "--latency") names.insert(call[2]);
  }
  return names;
}

// One daemon per test, with the dumpsys double first on its PATH.
class Collector : public e2e::DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    launch();
  }

  bool waitForFps(const std::string& expected) { return e2e::waitForReply("GET_FPS", expected, kSettle); }

  // Waits until the double has been asked for the listing `count` times.
  bool waitForTicks(size_t count) {
    return e2e::waitFor([&] { return countOf(double_.calls(), kList) >= count; }, kSettle);
  }

  dumpsys_double::Fixture double_;
};

TEST_F(Collector, PublishesTheHighestRateOfTheMatchingLayers) {
  const std::string marker = double_.path("ran");
  const std::string main = "com.example.app/com.example.app.MainActivity#0";
  // Quotes and substitutions in a name must reach dumpsys whole, unrun.
  const std::string quoted = "SurfaceView - com.example.app 'x' \"$(touch " + marker +
                             ")\" `touch " + marker + "`#0";
  const std::string idle = "com.example.app.Splash#1";
  double_.setListing(main + "\n" + quoted + "\n" + idle + "\nStatusBar#0\n" + main + "\n");
  double_.setLatency(main, dumpsys_double::latencyAtRate(30));
  double_.setLatency(quoted, dumpsys_double::latencyAtRate(58));
  double_.setLatency(idle, dumpsys_double::latencyOutput({0, 0, 0}));
  double_.setLatency("StatusBar#0", dumpsys_double::latencyAtRate(90));

  EXPECT_EQ(ask("INITIALIZATION:com.example.app"), "success");
  ASSERT_TRUE(waitForFps("58"));
  EXPECT_EQ(ask("STOP_COLLECT"), "success");
  ASSERT_TRUE(backToIdle());

  // Every tick: the listing, then each matching layer once, in list order;
  // a layer that does not match runs no command.
  const Calls calls = double_.calls();
  ASSERT_GE(calls.size(), 4u);
  EXPECT_EQ(Calls(calls.begin(), calls.begin() + 4),
            (Calls{kList, latencyCall(main), latencyCall(quoted), latencyCall(idle)}));
  EXPECT_EQ(latencyNames(calls), (std::set<std::string>{main, quoted, idle}));
  EXPECT_FALSE(fs::exists(marker)) << "part of a layer name was run";

  // Alone, a layer with no timing line publishes 0.
  EXPECT_EQ(ask("INITIALIZATION:Splash"), "success");
  EXPECT_TRUE(waitForFps("0"));
}

TEST_F(Collector, TheSecondFieldOfTheRequestIsThePattern) {
  double_.setListing("zzz\nINITIALIZATION\nq\nw\n");
  const struct {
    std::vector<std::string> requests;
    std::set<std::string> matched;
  } cases[] = {
      {{"INITIALIZATION::zzz"}, {"zzz"}},
      {{"x:INITIALIZATION:zzz"}, {"INITIALIZATION"}},
      {{"INITIALIZATION:q:w"}, {"q"}},
      // A trailing line feed stays in the pattern, and no name holds one.
      {{"INITIALIZATION:zzz\n"}, {}},
      // Without a package field no collector starts, so the next start is
      // the one that counts.
      {{"INITIALIZATION", "INITIALIZATION:w"}, {"w"}},
  };
  for (const auto& c : cases) {
    double_.clearCalls();
    for (const std::string& request : c.requests) EXPECT_EQ(ask(request), "success");
    ASSERT_TRUE(waitForTicks(2));
    EXPECT_EQ(ask("STOP_COLLECT"), "success");
    ASSERT_TRUE(backToIdle());
    EXPECT_EQ(latencyNames(double_.calls()), c.matched) << c.requests.back();
  }
}

TEST_F(Collector, AHostilePatternNeitherStallsNorEndsTheDaemon) {
  const std::string longName = std::string(1000, 'a') + "#0";
  double_.setListing(longName + "\nabab#0\n");
  double_.setLatency("abab#0", dumpsys_double::latencyAtRate(30));
  // An exponential search on the long name; regcomp eating memory for ever;
  // regcomp overflowing its stack.
  for (const std::string pattern : {"\\(a*\\)*\\1b", "\\(ab\\)\\1", "a\\{0,32767\\}",
                                    "\\(\\(a\\{0,255\\}\\)\\{0,255\\}\\)\\{0,255\\}"}) {
    double_.clearCalls();
    EXPECT_EQ(ask("INITIALIZATION:" + pattern), "success") << pattern;
    ASSERT_TRUE(waitForTicks(2)) << pattern;
    EXPECT_EQ(ask("GET_FPS"), "0") << pattern;
    EXPECT_EQ(ask("STOP_COLLECT"), "success") << pattern;
    ASSERT_TRUE(backToIdle()) << pattern;
    EXPECT_EQ(latencyNames(double_.calls()), std::set<std::string>()) << pattern;
  }
  // An interval within bounds, and a backslash within brackets, are harmless.
  EXPECT_EQ(ask("INITIALIZATION:a\\{1\\}b[\\1]*#"), "success");
  EXPECT_TRUE(waitForFps("30"));
}

// A listing line is read as a C string, so a layer name never holds a zero
// byte, and each argument reaches dumpsys whole.
TEST_F(Collector, ALineEndsAtItsFirstZeroByte) {
  double_.setListing("com.example.app#0\0hidden\ncom.example.app#1\n"s);
  EXPECT_EQ(ask("INITIALIZATION:com.example.app"), "success");
  ASSERT_TRUE(waitForTicks(2));
  EXPECT_EQ(ask("STOP_COLLECT"), "success");
  ASSERT_TRUE(backToIdle());
  // The first line loses its last character, as a line without a line feed
  // does.
  EXPECT_EQ(latencyNames(double_.calls()), (std::set<std::string>{"com.example.app#", "com.example.app#1"}));
}

TEST_F(Collector, KeepsItsPatternUntilStoppedAndTheRateAfterwards) {
  double_.setListing("alpha\nbeta\n");
  double_.setLatency("alpha", dumpsys_double::latencyAtRate(30));
  double_.setLatency("beta", dumpsys_double::latencyAtRate(20));

  EXPECT_EQ(ask("INITIALIZATION:alpha"), "success");
  ASSERT_TRUE(waitForFps("30"));
  // A second start changes nothing, its pattern least of all.
  EXPECT_EQ(ask("INITIALIZATION:beta"), "success");
  EXPECT_EQ(e2e::processState(daemon_).collectorThreads, 1u);
  const size_t ticks = countOf(double_.calls(), kList);
  ASSERT_TRUE(waitForTicks(ticks + 2));
  EXPECT_EQ(latencyNames(double_.calls()), (std::set<std::string>{"alpha"}));
  EXPECT_EQ(ask("GET_FPS"), "30");

  // Stopped, the collector runs nothing more and the rate stays.
  EXPECT_EQ(ask("STOP_COLLECT"), "success");
  EXPECT_EQ(ask("STOP_COLLECT"), "success");
  ASSERT_TRUE(backToIdle());
  double_.setLatency("alpha", dumpsys_double::latencyAtRate(45));
  const size_t callsAtStop = double_.calls().size();
  nap(2500);
  EXPECT_EQ(double_.calls().size(), callsAtStop);
  EXPECT_EQ(ask("GET_FPS"), "30");

  // A new start takes its new pattern.
  double_.clearCalls();
  EXPECT_EQ(ask("INITIALIZATION:beta"), "success");
  ASSERT_TRUE(waitForFps("20"));
  EXPECT_EQ(latencyNames(double_.calls()), (std::set<std::string>{"beta"}));
}

// The value of line `name` of a GET_FRAMESTATS reply, or "missing".
std::string statsField(const std::optional<std::string>& reply, const std::string& name) {
  if (!reply) return "no reply";
  const std::string head = name + " ";
  for (size_t at = 0; at < reply->size();) {
    const size_t end = std::min(reply->find('\n', at), reply->size());
    if (reply->compare(at, head.size(), head) == 0) return reply->substr(at + head.size(), end - at - head.size());
    at = end + 1;
  }
  return "missing";
}

bool waitForStats(const std::string& name, const std::string& value) {
  return e2e::waitFor([&] { return statsField(ask("GET_FRAMESTATS"), name) == value; }, kSettle);
}

TEST_F(Collector, FrameStatisticsSayWhatTheCollectionSees) {
  EXPECT_EQ(ask("GET_FRAMESTATS"),
            "state idle\nfps NA\nframes NA\nwindow_ms NA\nframe_ms_p50 NA\nframe_ms_p95 NA\n"
            "frame_ms_max NA\njank NA\nbig_jank NA\nmissed_vsyncs NA\nrefresh_hz NA\nlayer NA\n"
            "jank_ms NA\nsource NA\nos_jank NA\nos_jank_app NA\nos_jank_sf NA\n");
  const std::string container = "SurfaceView[com.example.app/com.example.app.Main]#147";
  const std::string blast = "SurfaceView[com.example.app/com.example.app.Main](BLAST)#148";
  double_.setListing("StatusBar#0\n" + container + "\n" + blast + "\n");
  double_.setLatency(container, dumpsys_double::latencyOutput(std::vector<uint64_t>(127, 0)));
  // At 120 Hz, with the line SurfaceFlinger prints before the period when it
  // could not take its lock, and dumpsys' line after a timeout.
  std::string rows;
  for (uint64_t i = 0; i < 40; ++i) {
    const uint64_t t = 100000000000 + i * 8333333;
    rows += std::to_string(t) + "\t" + std::to_string(t) + "\t" + std::to_string(t - 4000000) + "\n";
  }
  double_.setLatency(blast,
                     "SurfaceFlinger appears to be unresponsive, dumping anyways (no lock held)\n"
                     "8333333\n" + rows + "\n*** SERVICE 'SurfaceFlinger' DUMP TIMEOUT (10000ms) EXPIRED ***\n");

  EXPECT_EQ(ask("INITIALIZATION:no.such.app"), "success");
  EXPECT_TRUE(waitForStats("state", "no-layer"));
  EXPECT_EQ(ask("STOP_COLLECT"), "success");
  EXPECT_EQ(statsField(ask("GET_FRAMESTATS"), "state"), "idle");
  ASSERT_TRUE(backToIdle());

  // Only the container, which dumps empty slots.
  EXPECT_EQ(ask("INITIALIZATION:Main\\]#147"), "success");
  EXPECT_TRUE(waitForStats("state", "no-frames"));
  EXPECT_EQ(statsField(ask("GET_FRAMESTATS"), "fps"), "NA");
  EXPECT_EQ(ask("STOP_COLLECT"), "success");
  ASSERT_TRUE(backToIdle());

  // The BLAST layer wins over the container beside it. Its output does not
  // change, as an app that stopped drawing: after the first tick no frame is
  // new, and the rate is 0.
  EXPECT_EQ(ask("INITIALIZATION:com.example.app"), "success");
  EXPECT_TRUE(waitForStats("fps", "0.0"));
  const auto reply = ask("GET_FRAMESTATS");
  EXPECT_EQ(statsField(reply, "state"), "collecting");
  EXPECT_EQ(statsField(reply, "frames"), "0");
  EXPECT_EQ(statsField(reply, "frame_ms_p95"), "NA");
  EXPECT_EQ(statsField(reply, "jank"), "0");
  EXPECT_EQ(statsField(reply, "refresh_hz"), "120.0");
  EXPECT_EQ(statsField(reply, "layer"), blast);
  EXPECT_EQ(ask("STOP_COLLECT"), "success");
  ASSERT_TRUE(backToIdle());
}

// A compositor that lists no layer (Android 14 QPR2 and QPR3) gives latency
// outputs without a row: the frames come from its time statistics, enabled
// once a collection and dumped every tick.
TEST_F(Collector, AnEmptyListingTakesTheFramesFromTheTimeStatistics) {
  using dumpsys_double::timeStatsBlock;
  const std::string game = "SurfaceView[com.example.app/com.example.app.Main](BLAST)#148";
  const std::string lobby = "SurfaceView[com.example.app/com.example.app.Lobby](BLAST)#150";
  const std::string global = dumpsys_double::timeStatsGlobalPart();
  double_.setListing("");
  double_.setTimeStats(global + timeStatsBlock(60, 60, lobby, 9000, {{16, 8999}}) +
                       timeStatsBlock(60, 60, game, 600, {{16, 599}}, {2, 0, 0, 1, 1, 0, 0, 0}));
  EXPECT_EQ(ask("INITIALIZATION:com.example.app"), "success");
  // The first tick has no dump to compare with.
  std::optional<std::string> first;
  ASSERT_TRUE(e2e::waitFor(
      [&] { return statsField(first = ask("GET_FRAMESTATS"), "source") == "timestats"; }, kSettle));
  EXPECT_EQ(statsField(first, "fps"), "NA");

  // Each try brings 60 new frames, one of them a stall the phone blames on
  // the app; the tick after brings none. GET_FPS is published with the
  // figures, so read between two replies of the same tick it is that
  // tick's.
  std::optional<std::string> reply;
  int fps = -1;
  for (uint64_t tries = 1; tries <= 3 && fps < 0; ++tries) {
    double_.setTimeStats(global + timeStatsBlock(60, 60, lobby, 9000, {{16, 8999}}) +
                         timeStatsBlock(60, 60, game, 600 + 60 * tries,
                                        {{16, 599 + 59 * tries}, {200, tries}},
                                        {2 + tries, 0, 0, 1, 1 + tries, 0, 0, 0}));
    if (!waitForStats("frames", "60")) continue;
    const auto before = ask("GET_FRAMESTATS");
    const int published = std::stoi(ask("GET_FPS").value_or("-1"));
    if (statsField(before, "frames") == "60" && ask("GET_FRAMESTATS") == before) {
      reply = before;
      fps = published;
    }
  }
  ASSERT_TRUE(reply.has_value()) << "no tick held still for three requests";
  EXPECT_EQ(statsField(reply, "state"), "collecting");
  EXPECT_EQ(statsField(reply, "layer"), game);
  EXPECT_EQ(statsField(reply, "frame_ms_p50"), "16.50");
  EXPECT_EQ(statsField(reply, "frame_ms_max"), "176.00");
  EXPECT_EQ(statsField(reply, "jank"), "1");
  EXPECT_EQ(statsField(reply, "refresh_hz"), "60.0");
  EXPECT_EQ(statsField(reply, "os_jank"), "1");
  EXPECT_EQ(statsField(reply, "os_jank_app"), "1");
  EXPECT_EQ(statsField(reply, "os_jank_sf"), "0");
  // 60 frames a window, rounded down, less one, as GET_FPS counts
  // elsewhere; the window is known to the millisecond.
  const double windowMs = std::stod(statsField(reply, "window_ms"));
  EXPECT_GE(fps, static_cast<int>(std::floor(60000 / (windowMs + 0.5))) - 1) << windowMs;
  EXPECT_LE(fps, static_cast<int>(std::floor(60000 / (windowMs - 0.5))) - 1) << windowMs;

  // Nothing new: the app stopped drawing.
  EXPECT_TRUE(waitForStats("fps", "0.0"));
  EXPECT_EQ(ask("STOP_COLLECT"), "success");
  ASSERT_TRUE(backToIdle());

  const Calls calls = double_.calls();
  const std::vector<std::string> enable = {"SurfaceFlinger", "--timestats", "-enable"};
  const std::vector<std::string> dump = {"SurfaceFlinger", "--timestats", "-dump"};
  EXPECT_EQ(countOf(calls, enable), 1u);
  EXPECT_GE(countOf(calls, dump), 3u);
  EXPECT_EQ(countOf(calls, dump) + countOf(calls, enable), calls.size() - countOf(calls, kList));
  EXPECT_EQ(std::find(calls.begin(), calls.end(), dump) > std::find(calls.begin(), calls.end(), enable),
            true);
}

// Android 15 wraps every name of the listing; the latency command only
// knows the bare name.
TEST_F(Collector, Android15ListingsReachDumpsysAsBareNames) {
  const std::string blast = "SurfaceView[com.example.app/com.example.app.Main](BLAST)#148";
  const std::string background = "Background for SurfaceView[com.example.app/com.example.app.Main]#149";
  double_.setListing("RequestedLayerState{StatusBar#64 parentId=3}\n"
                     "RequestedLayerState{" + blast + " parentId=147 z=0}\n"
                     "RequestedLayerState{" + background +
                     " parentId=147 relativeParentId=-1 !handle z=-2 layerStack=0}\n");
  double_.setLatency(blast, dumpsys_double::latencyAtRate(58));
  EXPECT_EQ(ask("INITIALIZATION:com.example.app"), "success");
  ASSERT_TRUE(waitForFps("58"));
  EXPECT_EQ(statsField(ask("GET_FRAMESTATS"), "layer"), blast);
  EXPECT_EQ(ask("STOP_COLLECT"), "success");
  ASSERT_TRUE(backToIdle());
  EXPECT_EQ(latencyNames(double_.calls()), (std::set<std::string>{blast, background}));
}

TEST_F(Collector, StopsAtOnceWhileACommandHangs) {
  for (const std::string command : {"latency", "list", "timestats"}) {
    // An empty listing makes the collection dump the time statistics.
    double_.setListing(command == "timestats" ? "" : "com.example.app#0\n");
    double_.setMode(command, "hang");
    fs::remove(double_.path("hung"));
    EXPECT_EQ(ask("INITIALIZATION:com.example.app"), "success");
    e2e::waitFor([&] { return double_.hungPids().size() >= 2; }, kSettle);
    const std::vector<pid_t> hung = double_.hungPids();
    ASSERT_EQ(hung.size(), 2u) << command << ": the double never hung";

    // The stop is answered at once, and the reply is the ordinary one.
    EXPECT_EQ(ask("STOP_COLLECT"), "success") << command;
    EXPECT_TRUE(backToIdle()) << command;
    for (pid_t p : hung) EXPECT_NE(kill(p, 0), 0) << command << ": " << p << " still runs";
    double_.setMode(command, "normal");
  }
  EXPECT_EQ(ask("GET_FPS"), "0");
}

TEST_F(Collector, ASigquitFromOutsideChangesNothingOnceACollectionHasStarted) {
  double_.setListing("alpha\n");
  double_.setLatency("alpha", dumpsys_double::latencyAtRate(30));
  EXPECT_EQ(ask("INITIALIZATION:alpha"), "success");
  ASSERT_TRUE(waitForFps("30"));
  // Between ticks and while they run: the collection goes on ticking.
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(kill(daemon_, SIGQUIT), 0);
    nap(i % 7);
  }
  EXPECT_EQ(ask("CONNECT_DAEMON"), "success");
  double_.setLatency("alpha", dumpsys_double::latencyAtRate(45));
  EXPECT_TRUE(waitForFps("45"));
  EXPECT_EQ(ask("STOP_COLLECT"), "success");
  ASSERT_TRUE(backToIdle());
  // Idle again, the handler stays.
  ASSERT_EQ(kill(daemon_, SIGQUIT), 0);
  EXPECT_EQ(ask("CONNECT_DAEMON"), "success");
  EXPECT_TRUE(backToIdle());
}

TEST_F(Collector, AStartStopStormLeavesNothingBehind) {
  double_.setListing("com.example.app#0\nStatusBar#0\n");
  double_.setLatency("com.example.app#0", dumpsys_double::latencyAtRate(40));
  // Stops after varying pauses land before the first command, while the
  // command starts or while a slowed command runs, wherever this machine's
  // speed puts them. Every fourth stop is made to land while a command runs:
  // from idle, the latency command hangs until it is killed, and the stop is
  // sent only once it hangs.
  double_.setDelayMs("latency", 3);
  UdpClient client;
  size_t hungRecords = 0;
  for (int i = 0; i < 1000; ++i) {
    const bool whileHung = i % 4 == 3;
    if (whileHung) {
      ASSERT_TRUE(backToIdle()) << "cycle " << i;
      double_.setMode("latency", "hang");
    }
    ASSERT_EQ(client.ask("INITIALIZATION:com.example.app"), "success") << "cycle " << i;
    if (whileHung) {
      // The double records itself and its child once both hang.
      e2e::waitFor([&] { return double_.hungPids().size() >= hungRecords + 2; }, kSettle);
      ASSERT_EQ(double_.hungPids().size(), hungRecords + 2) << "cycle " << i << ": no command hung";
      hungRecords += 2;
    } else {
      nap(i % 12);
    }
    ASSERT_EQ(client.ask("STOP_COLLECT"), "success") << "cycle " << i;
    if (whileHung) double_.setMode("latency", "normal");
  }
  EXPECT_TRUE(backToIdle());
  for (pid_t p : double_.hungPids()) EXPECT_NE(kill(p, 0), 0) << p << " still runs";

  double_.setDelayMs("latency", 0);
  EXPECT_EQ(ask("INITIALIZATION:com.example.app"), "success");
  EXPECT_TRUE(waitForFps("40"));
  EXPECT_EQ(ask("STOP_COLLECT"), "success");
  EXPECT_TRUE(backToIdle());
}

}  // namespace
