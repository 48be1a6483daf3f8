#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "run_program.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using e2e::describe;
using e2e::exitCode;
using e2e::Outcome;
using e2e::slurp;

// The current test's own folder: suites run side by side, so no fixed name
// under /tmp would do.
std::string outputDir;

// Runs the client with its output in files of the test's folder.
// `whileRunning` is called with the client's pid and the path of its
// standard output once it has started. `input`, when given, is the client's
// standard input.
Outcome runClient(const std::vector<std::string>& args, int timeoutMs = 30000,
                  std::function<void(pid_t, const std::string&)> whileRunning = nullptr,
                  int input = -1) {
  e2e::Program program;
  program.argv = {e2e::clientPath};
  program.argv.insert(program.argv.end(), args.begin(), args.end());
  program.timeoutMs = timeoutMs;
  program.whileRunning = std::move(whileRunning);
  program.inputFd = input;
  return e2e::runProgram(program, outputDir);
}

// A generous budget for one reply, since the daemon may run under emulation.
const std::vector<std::string> kPatient = {"--timeout", "2000", "--retries", "3"};

std::vector<std::string> patient(std::vector<std::string> args) {
  args.insert(args.begin(), kPatient.begin(), kPatient.end());
  return args;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> out;
  size_t from = 0;
  for (;;) {
    const size_t at = text.find(sep, from);
    out.push_back(text.substr(from, at - from));
    if (at == std::string::npos) return out;
    from = at + 1;
  }
}

// The text with every run of spaces after a word cut to one.
std::string squeezed(const std::string& text) {
  std::string out;
  bool word = false;
  for (char c : text) {
    if (c == ' ' && word && !out.empty() && out.back() == ' ') continue;
    if (c == '\n') word = false;
    if (c != ' ' && c != '\n') word = true;
    out += c;
  }
  return out;
}

// A UDP port on loopback that the test answers itself: silent, or a relay
// to the daemon that drops the first `drop` requests, and every request that
// holds one of `dropHolding` (an older daemon's keywords). `beforeRelay` is
// called with each request that it passes on, before the daemon gets it.
class Port {
 public:
  Port(int port, int drop, bool relay, std::vector<std::string> dropHolding = {},
       std::function<void(const std::string&)> beforeRelay = nullptr)
      : drop_(drop),
        relay_(relay),
        dropHolding_(std::move(dropHolding)),
        beforeRelay_(std::move(beforeRelay)) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << strerror(errno);
    thread_ = std::thread([this] { serve(); });
  }
  ~Port() {
    done_ = true;
    thread_.join();
    close(fd_);
  }
  int received() const { return received_; }

 private:
  void serve() {
    char buf[2048];
    while (!done_) {
      pollfd pfd{fd_, POLLIN, 0};
      if (poll(&pfd, 1, 20) != 1) continue;
      sockaddr_in from{};
      socklen_t len = sizeof from;
      const ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 0) continue;
      if (++received_ <= drop_ || !relay_) continue;
      const std::string request(buf, static_cast<size_t>(n));
      if (std::any_of(dropHolding_.begin(), dropHolding_.end(), [&](const std::string& keyword) {
            return request.find(keyword) != std::string::npos;
          })) {
        continue;
      }
      if (beforeRelay_) beforeRelay_(request);
      e2e::UdpClient daemon;
      if (const auto reply = daemon.ask(request)) {
        sendto(fd_, reply->data(), reply->size(), 0, reinterpret_cast<sockaddr*>(&from), len);
      }
    }
  }

  int fd_ = -1;
  const int drop_;
  const bool relay_;
  const std::vector<std::string> dropHolding_;
  const std::function<void(const std::string&)> beforeRelay_;
  std::atomic<bool> done_{false};
  std::atomic<int> received_{0};
  std::thread thread_;
};

constexpr char kPackage[] = "com.example.game";
// What the simulated device's tree holds in this suite: cpu<i> at these kHz.
constexpr unsigned long long kBaseKhz = 300000;
constexpr unsigned long long kStepKhz = 100000;

// One daemon per test over the simulated device: a game drawing a steady 50
// frames per second since ten seconds ago.
class Client : public e2e::DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    simDir_ = e2e::makeSimDir();
    ASSERT_FALSE(simDir_.empty());
    outputDir = simDir_;
    std::ofstream(simDir_ + "/device.conf") << "package=" << kPackage << "\nfps=50\n";
    e2e::startSimApp(simDir_, 10 * 1000000000LL);
    for (int i = 0; i < 4; ++i) addCpu(i);
    launch();
  }

  void TearDown() override {
    DaemonTest::TearDown();
    std::error_code ec;
    fs::remove_all(simDir_, ec);
  }

  static void addCpu(int i) {
    e2e::addCpu("cpu" + std::to_string(i), std::to_string(kBaseKhz + kStepKhz * i) + "\n");
  }

  std::string simDir_;
};

TEST_F(Client, EachCommandSendsItsRequestAndPrintsTheReply) {
  Outcome run = runClient(patient({"ping"}));
  EXPECT_EQ(exitCode(run), 0) << describe(run);
  EXPECT_EQ(run.out, "success\n");

  run = runClient(patient({"fps"}));
  EXPECT_EQ(exitCode(run), 0) << describe(run);
  EXPECT_EQ(run.out, "0\n");

  // A fresh daemon lists its CPUs: GET_STATS reads their folders. This tree
  // has no maximum, no cluster and no /proc/stat lines.
  run = runClient(patient({"cpu"}));
  EXPECT_EQ(exitCode(run), 0) << describe(run);
  EXPECT_EQ(run.out,
            "cpu   clock kHz  max kHz  cluster  load %\n"
            "cpu0     300000       NA       NA      NA\n"
            "cpu1     400000       NA       NA      NA\n"
            "cpu2     500000       NA       NA      NA\n"
            "cpu3     600000       NA       NA      NA\n");

  run = runClient(patient({"start", kPackage}));
  EXPECT_EQ(exitCode(run), 0) << describe(run);
  EXPECT_EQ(run.out, "success\n");
  const auto deadline = Clock::now() + std::chrono::seconds(15);
  do {
    run = runClient(patient({"--host", "localhost", "fps"}));
  } while (run.out != "49\n" && Clock::now() < deadline);
  EXPECT_EQ(run.out, "49\n") << describe(run);

  run = runClient(patient({"send", "GET_SIMPLE"}));
  EXPECT_EQ(exitCode(run), 0) << describe(run);
  EXPECT_EQ(run.out, "cpuFreq:300000,400000,500000,600000\n");

  run = runClient(patient({"stop"}));
  EXPECT_EQ(exitCode(run), 0) << describe(run);
  EXPECT_EQ(run.out, "success\n");
  EXPECT_TRUE(backToIdle());

  // A text without a keyword gets no reply, and the client says why.
  run = runClient({"--timeout", "300", "--retries", "0", "send", "hello"});
  EXPECT_EQ(exitCode(run), 2) << describe(run);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("no keyword"), std::string::npos) << run.err;

  for (const std::vector<std::string>& usage :
       std::vector<std::vector<std::string>>{{}, {"start"}, {"start", "a:b"}, {"bogus"},
                                             {"--port", "0", "ping"}}) {
    run = runClient(usage);
    EXPECT_EQ(exitCode(run), 1) << describe(run);
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(run.err.empty());
  }
  run = runClient({"monitor", "--help"});
  EXPECT_EQ(exitCode(run), 0) << describe(run);
  EXPECT_NE(run.out.find("--csv"), std::string::npos);
}

TEST_F(Client, LabelsTwelveCpusByNumberAndShowsNaAsMissing) {
  e2e::clearCpuTree();
  for (int i = 0; i < 12; ++i) {
    if (i == 7) {
      fs::create_directories(std::string(e2e::kCpuDir) + "/cpu7");
    } else {
      addCpu(i);
    }
  }
  // From a daemon without GET_STATS, GET_SIMPLE's values, which the client
  // labels itself; the fresh daemon lists no CPU until the client's bare
  // INITIALIZATION, which starts no collection.
  {
    Port older(9096, 0, true, {kGetStats});
    const Outcome run = runClient(patient({"--port", "9096", "cpu"}));
    EXPECT_EQ(exitCode(run), 0) << describe(run);
    EXPECT_EQ(run.out,
              "cpu0 300000 kHz\ncpu1 400000 kHz\ncpu2 500000 kHz\ncpu3 600000 kHz\n"
              "cpu4 700000 kHz\ncpu5 800000 kHz\ncpu6 900000 kHz\ncpu7 NA\n"
              "cpu8 1100000 kHz\ncpu9 1200000 kHz\ncpu10 1300000 kHz\ncpu11 1400000 kHz\n");
    EXPECT_TRUE(backToIdle());
  }
  // GET_STATS names each CPU itself.
  const Outcome run = runClient(patient({"cpu"}));
  EXPECT_EQ(exitCode(run), 0) << describe(run);
  const std::vector<std::string> rows = lines(run.out);
  ASSERT_EQ(rows.size(), 13u) << run.out;
  EXPECT_EQ(rows[8], "cpu7          NA       NA       NA      NA");
  EXPECT_EQ(rows[12], "cpu11    1400000       NA       NA      NA");
}

TEST_F(Client, MonitorWritesTheFrameStatisticsToCsvJsonAndPlot) {
  const std::string csv = simDir_ + "/out.csv";
  const std::string png = simDir_ + "/out.png";
  const Outcome run = runClient(patient({"monitor", kPackage, "--interval", "0.5", "--duration", "4",
                                           "--csv", csv, "--json", "--plot", png}),
                                  60000);
  ASSERT_EQ(exitCode(run), 0) << describe(run);
  EXPECT_TRUE(backToIdle());

  const std::vector<std::string> rows = lines(slurp(csv));
  ASSERT_EQ(rows.size(), 9u) << slurp(csv);
  // GET_STATS' columns follow; MonitorWritesEveryFigureOfGetStats reads them.
  const std::string frames =
      "time_s,fps,frames,window_ms,frame_ms_p50,frame_ms_p95,frame_ms_max,jank,big_jank,"
      "missed_vsyncs,refresh_hz,jank_ms,source,os_jank,os_jank_app,os_jank_sf,cpu0_khz,cpu1_khz,"
      "cpu2_khz,cpu3_khz,";
  EXPECT_EQ(rows[0].substr(0, frames.size()), frames);
  const std::vector<std::string> json = lines(run.out);
  ASSERT_EQ(json.size(), 9u) << run.out;
  for (size_t i = 1; i < rows.size(); ++i) {
    const std::vector<std::string> fields = split(rows[i], ',');
    ASSERT_EQ(fields.size(), split(rows[0], ',').size()) << rows[i];
    const double t = std::stod(fields[0]);
    EXPECT_NEAR(t, 0.5 * static_cast<double>(i), 0.4) << rows[i];
    // 50 frames a second on a 60 Hz panel: five frames on six vsyncs, so a
    // window's rate is 50 within what its ends among them allow. A sample
    // taken before the first tick has ended has no figures yet.
    if (i > 2 || fields[1] != "NA") {
      EXPECT_NEAR(std::stod(fields[1]), 50, 1.0) << rows[i];
      EXPECT_EQ(fields[7], "0") << rows[i];                 // no jank
      EXPECT_EQ(fields[10], "60.0") << rows[i];             // the panel
      EXPECT_NEAR(std::stod(fields[5]), 33.33, 0.01) << rows[i];  // two vsyncs
      EXPECT_EQ(fields[12], "latency") << rows[i];  // each frame's own time
      EXPECT_EQ(fields[13], "NA") << rows[i];       // and no verdict of the phone's
    }
    EXPECT_EQ(fields[16], "300000");
    EXPECT_EQ(fields[19], "600000");

    const auto line = nlohmann::json::parse(json[i - 1]);
    EXPECT_NEAR(line["time_s"].get<double>(), t, 0.0006);
    if (fields[1] != "NA") {
      EXPECT_EQ(line["fps"].get<double>(), std::stod(fields[1]));
      EXPECT_EQ(line["source"], fields[12]);
    }
    EXPECT_EQ(line["cpu_khz"].dump(), "[300000,400000,500000,600000]");
  }
  const auto summary = nlohmann::json::parse(json.back())["summary"];
  EXPECT_EQ(summary["samples"], 8);
  EXPECT_NEAR(summary["fps"]["median"].get<double>(), 50, 1.0);
  EXPECT_EQ(summary["jank"]["per_10_min"], 0.0);
  EXPECT_EQ(summary["jank_ms"]["stutter_pct"], 0.0);
  EXPECT_EQ(summary["source"]["timestats"], 0);
  EXPECT_EQ(summary["source"]["notes"], nlohmann::json::array());
  EXPECT_EQ(summary["cpus"][3]["max_mhz"], 600.0);

  const std::string image = slurp(png);
  EXPECT_GT(image.size(), 10000u);
  EXPECT_EQ(image.substr(0, 8), "\x89PNG\r\n\x1a\n");
}

// A daemon that answers neither GET_FRAMESTATS nor GET_STATS (an older one)
// is monitored through GET_FPS and GET_SIMPLE, with the outputs as they
// always were.
TEST_F(Client, MonitorFallsBackToTheRateOfADaemonWithoutFrameStatistics) {
  Port older(9093, 0, true, {kGetFrameStats, kGetStats});
  const std::string csv = simDir_ + "/out.csv";
  const std::string png = simDir_ + "/out.png";
  const Outcome run = runClient(patient({"--port", "9093", "monitor", kPackage, "--interval", "0.5",
                                           "--duration", "4", "--csv", csv, "--json", "--plot", png}),
                                  60000);
  ASSERT_EQ(exitCode(run), 0) << describe(run);
  EXPECT_TRUE(backToIdle());

  const std::vector<std::string> rows = lines(slurp(csv));
  ASSERT_EQ(rows.size(), 9u) << slurp(csv);
  EXPECT_EQ(rows[0], "time_s,fps,cpu0_khz,cpu1_khz,cpu2_khz,cpu3_khz");
  const std::vector<std::string> json = lines(run.out);
  ASSERT_EQ(json.size(), 9u) << run.out;
  for (size_t i = 1; i < rows.size(); ++i) {
    const std::vector<std::string> fields = split(rows[i], ',');
    ASSERT_EQ(fields.size(), 6u) << rows[i];
    const double t = std::stod(fields[0]);
    EXPECT_NEAR(t, 0.5 * static_cast<double>(i), 0.4) << rows[i];
    // The daemon's count of a steady 50 frames per second is 49; a sample
    // taken before the first tick has ended still shows the idle 0.
    if (i > 2) {
      EXPECT_EQ(fields[1], "49") << rows[i];
    } else {
      EXPECT_TRUE(fields[1] == "49" || fields[1] == "0") << rows[i];
    }
    EXPECT_EQ(fields[2], "300000");
    EXPECT_EQ(fields[5], "600000");

    const auto line = nlohmann::json::parse(json[i - 1]);
    EXPECT_NEAR(line["time_s"].get<double>(), t, 0.0006);
    EXPECT_EQ(line["fps"].dump(), fields[1]);
    EXPECT_EQ(line["cpu_khz"].dump(), "[300000,400000,500000,600000]");
  }
  const auto summary = nlohmann::json::parse(json.back())["summary"];
  EXPECT_EQ(summary["samples"], 8);
  EXPECT_EQ(summary["fps"]["median"], 49.0);
  EXPECT_EQ(summary["cpus"][3]["max_mhz"], 600.0);
  EXPECT_GT(slurp(png).size(), 10000u);
}

// The rest of a small phone beside the suite's four CPUs: cpu0-1 and cpu2-3
// share a clock each, an Exynos GPU, a battery that is not charging, the
// memory and two thermal zones.
void writePhone() {
  for (int cpu = 0; cpu < 4; ++cpu) {
    e2e::writeCpuFile("cpu" + std::to_string(cpu) + "/cpufreq/cpuinfo_max_freq",
                      cpu < 2 ? "1800000\n" : "2400000\n");
  }
  e2e::writeCpuFile("cpufreq/policy0/related_cpus", "0-1\n");
  e2e::writeCpuFile("cpufreq/policy2/related_cpus", "2 3\n");
  e2e::writeDeviceFile("/sys/kernel/gpu/gpu_clock", "260\n");
  e2e::writeDeviceFile("/sys/kernel/gpu/gpu_max_clock", "702\n");
  e2e::writeDeviceFile("/sys/kernel/gpu/gpu_busy", " 42%\n");
  const std::string battery = "/sys/class/power_supply/battery/";
  e2e::writeDeviceFile(battery + "capacity", "57\n");
  e2e::writeDeviceFile(battery + "status", "Not charging\n");
  e2e::writeDeviceFile(battery + "voltage_now", "3850000\n");
  e2e::writeDeviceFile(battery + "current_now", "-400000\n");
  e2e::writeDeviceFile(battery + "temp", "312\n");
  e2e::writeDeviceFile(e2e::kProcMeminfo,
                       "MemTotal:        3800000 kB\nMemAvailable:    1234567 kB\n");
  e2e::writeDeviceFile("/sys/class/thermal/thermal_zone0/type", "cpu-0-0\n");
  e2e::writeDeviceFile("/sys/class/thermal/thermal_zone0/temp", "45200\n");
  e2e::writeDeviceFile("/sys/class/thermal/thermal_zone1/type", "skin-therm\n");
  e2e::writeDeviceFile("/sys/class/thermal/thermal_zone1/temp", "33500\n");
}

// /proc/stat after `steps` steps of 100 jiffies a CPU, of which cpu0 to
// cpu3 are busy for 10, 30, 50 and 70: the load over one step is 40% in all.
std::string procStat(int steps) {
  std::string cpus;
  uint64_t busy = 0;
  uint64_t idle = 0;
  for (int cpu = 0; cpu < 4; ++cpu) {
    const uint64_t b = static_cast<uint64_t>(steps) * (10 + 20 * cpu);
    const uint64_t i = static_cast<uint64_t>(steps) * (90 - 20 * cpu);
    busy += b;
    idle += i;
    cpus += "cpu" + std::to_string(cpu) + " " + std::to_string(b) + " 0 0 " + std::to_string(i) +
            " 0 0 0 0 0 0\n";
  }
  return "cpu  " + std::to_string(busy) + " 0 0 " + std::to_string(idle) + " 0 0 0 0 0 0\n" + cpus;
}

// A relay to the daemon before which /proc/stat moves one step for each
// GET_STATS, so that every load the daemon gives is one step's, however
// the requests are timed.
class SteppingRelay {
 public:
  explicit SteppingRelay(int port)
      : port_(port, 0, true, {}, [this](const std::string& request) {
          if (request.find(kGetStats) != std::string::npos) {
            e2e::writeDeviceFile(e2e::kProcStat, procStat(++steps_));
          }
        }) {}
  int steps() const { return steps_; }

 private:
  std::atomic<int> steps_{0};
  Port port_;
};

TEST_F(Client, StatsAndCpuShowTheDevicesFiles) {
  writePhone();
  SteppingRelay relay(9094);
  Outcome run = runClient(patient({"--port", "9094", "stats", "--json"}));
  ASSERT_EQ(exitCode(run), 0) << describe(run);
  // Two requests, for the loads of the time between them.
  EXPECT_GE(relay.steps(), 2);
  ASSERT_EQ(lines(run.out).size(), 1u) << run.out;
  auto json = nlohmann::json::parse(run.out);
  // What the daemon's own clock and process give.
  EXPECT_GT(json["uptime_ms"].get<int64_t>(), 0) << json;
  EXPECT_GT(json["probe_rss_kb"].get<int64_t>(), 0) << json;
  EXPECT_TRUE(json["probe_cpu_pct"].is_number()) << json;
  for (const char* name : {"uptime_ms", "probe_rss_kb", "probe_cpu_pct"}) json.erase(name);
  EXPECT_EQ(json, nlohmann::json::parse(R"({
      "cpu_load_pct": 40.0, "cpu0_load_pct": 10.0, "cpu1_load_pct": 30.0,
      "cpu2_load_pct": 50.0, "cpu3_load_pct": 70.0,
      "cpu0_khz": 300000, "cpu1_khz": 400000, "cpu2_khz": 500000, "cpu3_khz": 600000,
      "cpu0_max_khz": 1800000, "cpu1_max_khz": 1800000, "cpu2_max_khz": 2400000,
      "cpu3_max_khz": 2400000,
      "cpu0_cluster": 0, "cpu1_cluster": 0, "cpu2_cluster": 2, "cpu3_cluster": 2,
      "gpu_khz": 260000, "gpu_max_khz": 702000, "gpu_busy_pct": 42.0, "gpu_source": "exynos",
      "battery_pct": 57, "battery_status": "Not charging", "battery_mv": 3850,
      "battery_ma": -400, "battery_mw": -1540, "battery_temp_c": 31.2,
      "mem_available_kb": 1234567,
      "app_pids": null, "app_threads": null, "app_rss_kb": null, "app_cpu_pct": null,
      "temp_cpu_0_0_c": 45.2, "temp_skin_therm_c": 33.5})"));

  // The text lines its values up as wide as the widest, the uptime's.
  run = runClient(patient({"--port", "9094", "stats"}));
  ASSERT_EQ(exitCode(run), 0) << describe(run);
  const std::string text = squeezed(run.out);
  EXPECT_NE(text.find("Battery\n  level 57 %\n  status Not charging\n"), std::string::npos)
      << run.out;
  EXPECT_NE(text.find("Temperatures, hottest first\n  cpu_0_0 45.2 °C\n  skin_therm 33.5 °C\n"),
            std::string::npos)
      << run.out;

  run = runClient(patient({"--port", "9094", "cpu"}));
  ASSERT_EQ(exitCode(run), 0) << describe(run);
  EXPECT_EQ(run.out,
            "cpu   clock kHz  max kHz  cluster  load %\n"
            "cpu0     300000  1800000        0    10.0\n"
            "cpu1     400000  1800000        0    30.0\n"
            "cpu2     500000  2400000        2    50.0\n"
            "cpu3     600000  2400000        2    70.0\n");
  EXPECT_TRUE(backToIdle());
}

TEST_F(Client, MonitorWritesEveryFigureOfGetStats) {
  writePhone();
  SteppingRelay relay(9095);
  const std::string csv = simDir_ + "/out.csv";
  const std::string png = simDir_ + "/out.png";
  Outcome run = runClient(patient({"--port", "9095", "monitor", kPackage, "--interval", "0.5",
                                     "--duration", "2", "--csv", csv, "--json", "--plot", png}),
                            60000);
  ASSERT_EQ(exitCode(run), 0) << describe(run);
  EXPECT_TRUE(backToIdle());
  // gnuplot took every panel: the clusters, load, GPU, temperature, power.
  EXPECT_EQ(slurp(png).substr(0, 8), "\x89PNG\r\n\x1a\n");

  const std::vector<std::string> rows = lines(slurp(csv));
  ASSERT_EQ(rows.size(), 5u) << slurp(csv);
  EXPECT_EQ(rows[0],
            "time_s,fps,frames,window_ms,frame_ms_p50,frame_ms_p95,frame_ms_max,jank,big_jank,"
            "missed_vsyncs,refresh_hz,jank_ms,source,os_jank,os_jank_app,os_jank_sf,cpu0_khz,"
            "cpu1_khz,cpu2_khz,cpu3_khz,cluster0-1_khz,cluster2-3_khz,cluster0-1_max_khz,"
            "cluster2-3_max_khz,cpu_load_pct,cluster0-1_load_pct,cluster2-3_load_pct,gpu_busy_pct,"
            "cpu0_load_pct,cpu1_load_pct,cpu2_load_pct,cpu3_load_pct,gpu_khz,gpu_max_khz,"
            "temp_cpu_0_0_c,temp_skin_therm_c,"
            "temp_hottest_c,battery_mw,battery_pct,battery_mv,battery_ma,battery_temp_c,"
            "mem_available_kb,app_pids,app_threads,app_cpu_pct,probe_cpu_pct,app_rss_kb,"
            "probe_rss_kb,uptime_ms");
  const std::vector<std::string> names = split(rows[0], ',');
  const std::map<std::string, std::string> expected = {
      {"cpu0_khz", "300000"},           {"cluster0-1_khz", "300000"},
      {"cluster2-3_khz", "500000"},     {"cluster2-3_max_khz", "2400000"},
      {"cpu_load_pct", "40.0"},         {"cluster0-1_load_pct", "20.0"},
      {"cluster2-3_load_pct", "60.0"},  {"cpu3_load_pct", "70.0"},
      {"gpu_busy_pct", "42.0"},         {"gpu_khz", "260000"},
      {"temp_cpu_0_0_c", "45.2"},       {"temp_skin_therm_c", "33.5"},
      {"temp_hottest_c", "45.2"},       {"battery_mw", "-1540"},
      {"battery_pct", "57"},            {"battery_temp_c", "31.2"},
      {"mem_available_kb", "1234567"},
  };
  for (size_t i = 1; i < rows.size(); ++i) {
    const std::vector<std::string> fields = split(rows[i], ',');
    ASSERT_EQ(fields.size(), names.size()) << rows[i];
    for (size_t f = 0; f < names.size(); ++f) {
      const auto want = expected.find(names[f]);
      if (want != expected.end()) {
        EXPECT_EQ(fields[f], want->second) << names[f] << ": " << rows[i];
      }
      if (names[f] == "probe_rss_kb" || names[f] == "uptime_ms") {
        EXPECT_NE(fields[f], "NA") << names[f] << ": " << rows[i];
      }
    }
  }
  const auto summary = nlohmann::json::parse(lines(run.out).back())["summary"];
  EXPECT_EQ(summary["temp_hottest_c"], nlohmann::json::parse(R"({"max_c":45.2,"zone":"cpu_0_0"})"));
  EXPECT_EQ(summary["cpu_load_pct"], nlohmann::json::parse(R"({"mean_pct":40.0,"max_pct":40.0})"));
  EXPECT_EQ(summary["battery_pct"], nlohmann::json::parse(R"({"drop_pct":0})"));
  EXPECT_EQ(summary["battery_mw"], nlohmann::json::parse(R"({"mean_mw":-1540.0})"));

  // A live field that is no column: status 2 and why, once the collection
  // that the monitor started is stopped, and no file left.
  const std::string none = simDir_ + "/none.csv";
  run = runClient(patient({"--port", "9095", "monitor", kPackage, "--duration", "2", "--csv",
                           none, "--columns", "fps,temp_hottest_c,temp_skin_c"}));
  EXPECT_EQ(exitCode(run), 2) << describe(run);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("no column is named \"temp_skin_c\"; the columns are time_s,fps,"),
            std::string::npos)
      << run.err;
  EXPECT_FALSE(fs::exists(none));
  EXPECT_TRUE(backToIdle());
}

TEST_F(Client, MonitorStopsTheCollectionOnCtrlC) {
  const Outcome run = runClient(patient({"monitor", kPackage, "--interval", "0.2"}), 30000,
                            [](pid_t client, const std::string& out) {
                              // Until the first sample's line, then Ctrl-C.
                              const auto deadline = Clock::now() + std::chrono::seconds(15);
                              while (lines(slurp(out)).size() < 3 && Clock::now() < deadline) {
                                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                              }
                              kill(client, SIGINT);
                            });
  EXPECT_EQ(exitCode(run), 0) << describe(run);
  EXPECT_NE(run.out.find("Summary: "), std::string::npos) << run.out;
  EXPECT_TRUE(backToIdle());
}

TEST_F(Client, RetriesARequestThatWasLost) {
  {
    Port relay(9090, 1, true);
    const Outcome run = runClient({"--port", "9090", "--timeout", "1500", "--retries", "2", "ping"});
    EXPECT_EQ(exitCode(run), 0) << describe(run);
    EXPECT_EQ(run.out, "success\n");
    EXPECT_EQ(relay.received(), 2);
  }
  Port relay(9090, 1, true);
  const Outcome run = runClient({"--port", "9090", "--timeout", "300", "--retries", "0", "ping"});
  EXPECT_EQ(exitCode(run), 2) << describe(run);
  EXPECT_EQ(relay.received(), 1);
}

TEST_F(Client, ASilentPortGivesStatus2WithinTheBudget) {
  Port silent(9091, 0, false);
  const Outcome run = runClient({"--port", "9091", "--timeout", "200", "--retries", "2", "ping"});
  EXPECT_EQ(exitCode(run), 2) << describe(run);
  EXPECT_EQ(run.out, "");
  // One line that names the host and the port.
  EXPECT_EQ(lines(run.err).size(), 1u) << run.err;
  EXPECT_NE(run.err.find("127.0.0.1 port 9091"), std::string::npos) << run.err;
  EXPECT_EQ(silent.received(), 3);
  EXPECT_GE(run.ms, 600);
  EXPECT_LT(run.ms, 600 + 1500);

  // Nothing at all listens on 9092: the same status, and the line says so.
  const Outcome refused = runClient({"--port", "9092", "--timeout", "200", "--retries", "1", "ping"});
  EXPECT_EQ(exitCode(refused), 2) << describe(refused);
  EXPECT_NE(refused.err.find("nothing listens"), std::string::npos) << refused.err;

  // A monitor that cannot start tells the same, and leaves no file behind.
  const std::string csv = simDir_ + "/none.csv";
  const Outcome monitor = runClient({"--port", "9091", "--timeout", "100", "--retries", "0", "monitor",
                                 kPackage, "--csv", csv});
  EXPECT_EQ(exitCode(monitor), 2) << describe(monitor);
  EXPECT_FALSE(fs::exists(csv));
}

// Until `held` holds, for at most 15 s.
bool waitFor(const std::function<bool()>& held) {
  const auto deadline = Clock::now() + std::chrono::seconds(15);
  while (!held()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// The lines of a file that is still being written, up to its last line feed.
std::vector<std::string> wholeLines(const std::string& path) {
  std::vector<std::string> out = split(slurp(path), '\n');
  out.pop_back();
  return out;
}

size_t samplesIn(const std::string& recording) {
  const std::vector<std::string> all = wholeLines(recording);
  return static_cast<size_t>(std::count_if(all.begin(), all.end(), [](const std::string& line) {
    return line.find("\"v\":") != std::string::npos;
  }));
}

// Markers come on standard input while the monitor samples: each step
// waits for the one before to show, so that every marker lands between
// samples however slow the machine. Ctrl-C ends the run, once sampling has
// gone on after the input closed.
TEST_F(Client, MonitorRecordsMarkersAndTheReportShowsThem) {
  const std::string record = simDir_ + "/run.jsonl";
  const std::string csv = simDir_ + "/run.csv";
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  ScopedFile readEnd(ends[0]);
  ScopedFile writeEnd(ends[1]);
  std::string stepFailed;
  size_t samplesBeforeClose = 0;
  const Outcome run = runClient(
      patient({"monitor", kPackage, "--interval", "0.5", "--duration", "60", "--record", record,
               "--csv", csv, "--mark"}),
      90000,
      [&](pid_t client, const std::string& out) {
        auto say = [&](const char* text) {
          const size_t n = strlen(text);
          return write(writeEnd.get(), text, n) == static_cast<ssize_t>(n);
        };
        auto shown = [&](const std::string& text) {
          return waitFor([&] { return slurp(out).find(text) != std::string::npos; });
        };
        if (!waitFor([&] { return samplesIn(record) >= 1; })) {
          stepFailed = "no first sample";
        } else if (!say("boss fight\n") || !shown(": boss fight\n")) {
          stepFailed = "no first marker";
        } else if (!say("\n") || !shown(": mark 2\n")) {
          stepFailed = "no second marker";
        }
        samplesBeforeClose = samplesIn(record);
        writeEnd.reset();
        if (stepFailed.empty() &&
            !waitFor([&] { return samplesIn(record) >= samplesBeforeClose + 2; })) {
          stepFailed = "no sample after the input closed";
        }
        kill(client, SIGINT);
      },
      readEnd.get());
  ASSERT_EQ(stepFailed, "") << describe(run);
  ASSERT_EQ(exitCode(run), 0) << describe(run);
  EXPECT_TRUE(backToIdle());
  EXPECT_NE(run.out.find("Recording: " + record + " "), std::string::npos) << run.out;

  const std::vector<std::string> rows = lines(slurp(csv));
  const std::vector<std::string> recorded = lines(slurp(record));
  ASSERT_GE(recorded.size(), 2u);
  std::vector<nlohmann::json> json;
  for (const std::string& line : recorded) {
    json.push_back(nlohmann::json::parse(line, nullptr, false));
    ASSERT_TRUE(json.back().is_object()) << line;
  }
  const nlohmann::json& header = json.front();
  EXPECT_EQ(header["perfprobe_recording"], 2);
  EXPECT_EQ(header["device"], nlohmann::json::parse(R"({"host":"127.0.0.1","port":8080})"));
  EXPECT_EQ(header["package"], kPackage);
  EXPECT_EQ(header["interval_s"], 0.5);
  const std::string start = header["start"].get<std::string>();
  EXPECT_EQ(start.size(), 24u) << start;
  EXPECT_EQ(start.substr(10, 1) + start.substr(19, 1) + start.substr(23), "T.Z") << start;

  // The recording's series are the CSV's columns, in their order.
  ASSERT_FALSE(rows.empty());
  const std::vector<std::string> columns = split(rows[0], ',');
  std::vector<std::string> names = {"time_s"};
  for (const auto& s : header["series"]) names.push_back(s["name"].get<std::string>());
  ASSERT_EQ(names, columns);
  // Each says what it is, so that the report need not tell it from its name.
  const std::map<std::string, nlohmann::json> told = {
      {"fps", R"({"unit":"","chart":"fps","kind":"fps"})"_json},
      {"cpu0_khz", R"({"unit":"kHz","chart":"","kind":"cpu*_khz"})"_json},
      {"cpu_load_pct", R"({"unit":"%","chart":"cpu_load","kind":"cpu_load_pct"})"_json},
      {"temp_hottest_c", R"({"unit":"°C","chart":"temperature","kind":"temp_hottest_c"})"_json},
      {"uptime_ms", R"({"unit":"ms","chart":"","kind":"uptime_ms"})"_json},
  };
  size_t toldSeen = 0;
  for (const auto& s : header["series"]) {
    const auto want = told.find(s["name"].get<std::string>());
    if (want == told.end()) continue;
    ++toldSeen;
    for (const auto& [key, value] : want->second.items()) EXPECT_EQ(s[key], value) << s;
  }
  EXPECT_EQ(toldSeen, told.size()) << header["series"];
  bool clusterSeen = false;
  for (const auto& s : header["series"]) {
    if (s["kind"] == "cluster*_khz") {
      clusterSeen = true;
      EXPECT_EQ(s["chart"], "cpu_clock") << s;
      EXPECT_EQ(s["unit"], "kHz") << s;
    }
  }
  EXPECT_TRUE(clusterSeen) << header["series"];

  std::vector<nlohmann::json> samples;
  std::vector<nlohmann::json> marks;
  double lastT = 0;
  for (size_t i = 1; i + 1 < json.size(); ++i) {
    const nlohmann::json& line = json[i];
    if (line.contains("v")) {
      samples.push_back(line);
    } else if (line.contains("mark")) {
      marks.push_back(line);
    } else {
      ADD_FAILURE() << "line " << i + 1 << ": " << recorded[i];
    }
    // In the order they came.
    EXPECT_GE(line["t"].get<double>(), lastT) << recorded[i];
    lastT = line["t"].get<double>();
  }
  ASSERT_TRUE(json.back().contains("summary")) << recorded.back();
  EXPECT_EQ(json.back()["summary"]["samples"], samples.size());

  ASSERT_EQ(samples.size(), rows.size() - 1) << slurp(csv) << slurp(record);
  EXPECT_GE(samples.size(), samplesBeforeClose + 2);
  size_t valued = 0;
  for (size_t k = 0; k < samples.size(); ++k) {
    const std::vector<std::string> fields = split(rows[k + 1], ',');
    const nlohmann::json& v = samples[k]["v"];
    ASSERT_EQ(fields.size(), columns.size()) << rows[k + 1];
    ASSERT_EQ(v.size(), columns.size() - 1) << samples[k];
    EXPECT_NEAR(samples[k]["t"].get<double>(), std::stod(fields[0]), 0.0006) << rows[k + 1];
    for (size_t c = 1; c < columns.size(); ++c) {
      if (fields[c] == "NA") {
        EXPECT_TRUE(v[c - 1].is_null()) << columns[c] << ": " << samples[k];
      } else if (columns[c] == "source") {
        EXPECT_EQ(v[c - 1], fields[c]) << samples[k];
      } else {
        ASSERT_TRUE(v[c - 1].is_number()) << columns[c] << ": " << samples[k];
        EXPECT_DOUBLE_EQ(v[c - 1].get<double>(), std::stod(fields[c])) << columns[c];
        ++valued;
      }
    }
    // In their places: the suite's CPUs' clocks.
    EXPECT_EQ(v[16 - 1], 300000) << samples[k];
    EXPECT_EQ(v[19 - 1], 600000) << samples[k];
  }
  EXPECT_GT(valued, samples.size() * 5);
  EXPECT_EQ(columns[16], "cpu0_khz");
  EXPECT_EQ(columns[19], "cpu3_khz");

  ASSERT_EQ(marks.size(), 2u) << slurp(record);
  EXPECT_EQ(marks[0]["mark"], "boss fight");
  EXPECT_EQ(marks[1]["mark"], "mark 2");
  // Each came after the first sample was out, and before the last was taken.
  EXPECT_GT(marks[0]["t"].get<double>(), samples.front()["t"].get<double>());
  EXPECT_LE(marks[0]["t"].get<double>(), marks[1]["t"].get<double>());
  EXPECT_LT(marks[1]["t"].get<double>(), samples.back()["t"].get<double>());

  const std::string html = simDir_ + "/report.html";
  Outcome report = runClient({"report", record, "-o", html});
  ASSERT_EQ(exitCode(report), 0) << describe(report);
  EXPECT_EQ(report.out, "Report: " + html + "\n");
  EXPECT_EQ(report.err, "");
  const std::string page = slurp(html);
  EXPECT_EQ(page.rfind("<!DOCTYPE html>", 0), 0u);
  EXPECT_NE(page.find("boss fight"), std::string::npos);
  EXPECT_NE(page.find("mark 2"), std::string::npos);

  // What is no recording: a missing file, an empty one, the CSV; alone or
  // beside one that is. No page is left.
  const std::string missing = simDir_ + "/none.jsonl";
  const std::string empty = simDir_ + "/empty.jsonl";
  ASSERT_TRUE(std::ofstream(empty).good());
  const struct {
    std::vector<std::string> files;
    std::string bad;
    std::string why;
  } cases[] = {
      {{missing}, missing, "No such file"},
      {{empty}, empty, "it is empty"},
      {{csv}, csv, "not a perfprobe recording"},
      {{record, csv}, csv, "not a perfprobe recording"},
      {{missing, record}, missing, "No such file"},
  };
  for (const auto& c : cases) {
    const std::string out = simDir_ + "/refused.html";
    std::vector<std::string> args = {"report"};
    args.insert(args.end(), c.files.begin(), c.files.end());
    args.insert(args.end(), {"-o", out});
    report = runClient(args);
    EXPECT_EQ(exitCode(report), 1) << c.bad << ": " << describe(report);
    EXPECT_EQ(report.out, "") << c.bad;
    EXPECT_NE(report.err.find("perfprobe: " + c.bad + ": "), std::string::npos) << report.err;
    EXPECT_NE(report.err.find(c.why), std::string::npos) << report.err;
    EXPECT_FALSE(fs::exists(out)) << c.bad;
    EXPECT_FALSE(fs::exists(out + ".tmp")) << c.bad;
  }
}

}  // namespace
