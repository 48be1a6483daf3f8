// GET_STATS of the real daemon over files the test writes where a phone has
// them: tmpfs folders over /sys/devices/system/cpu, /sys/class and
// /sys/kernel, and files bound over /proc/stat and /proc/meminfo.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fixtures/stats_phone.h"
#include "harness.h"

namespace {

namespace fs = std::filesystem;
using e2e::ask;
using e2e::writeDeviceFile;

constexpr char kPackage[] = "com.example.game";

std::string statsRequest() { return paddedRequest(kGetStats); }

// A reply's lines by name, in order.
std::vector<std::pair<std::string, std::string>> linesOf(const std::string& reply) {
  std::vector<std::pair<std::string, std::string>> lines;
  std::istringstream in(reply);
  std::string line;
  while (std::getline(in, line)) {
    const size_t space = line.find(' ');
    lines.emplace_back(line.substr(0, space),
                       space == std::string::npos ? "" : line.substr(space + 1));
  }
  return lines;
}

std::map<std::string, std::string> fieldsOf(const std::string& reply) {
  std::map<std::string, std::string> fields;
  for (auto& [name, value] : linesOf(reply)) fields[name] = value;
  return fields;
}

// The fixture's phone written where the daemon reads it.
void writePhone() {
  std::string error;
  ASSERT_TRUE(stats_phone::write("/", &error)) << error;
}

using stats_phone::CpuJiffies;
using stats_phone::procStat;

using stats_phone::withoutOwnLines;

class Stats : public e2e::DaemonTest {};

TEST_F(Stats, APhoneReadThroughTheDaemonWithLoadsSinceTheLastRequest) {
  writePhone();
  const std::string expected = withoutOwnLines(stats_phone::reply());
  std::vector<CpuJiffies> times = {{100, 900, true}, {100, 900, true}, {100, 900, true},
                                   {100, 900, true}, {500, 500, true}, {500, 500, true},
                                   {500, 500, true}, {0, 0, false}};
  writeDeviceFile(e2e::kProcStat, procStat(times));
  launch();

  const std::optional<std::string> first = ask(statsRequest());
  ASSERT_TRUE(first);
  EXPECT_EQ(withoutOwnLines(*first), expected) << "the reply of " << stats_phone::replyPath();
  const auto fields = fieldsOf(*first);
  EXPECT_GT(std::stoll(fields.at("uptime_ms")), 0);
  EXPECT_EQ(fields.at("probe_cpu_pct"), "NA");
  EXPECT_GT(std::stoll(fields.at("probe_rss_kb")), 0);

  // 100 jiffies later: cpu0 busy 25, cpu4 busy 100, the rest idle; cpu3
  // goes offline.
  times[0] = {125, 975, true};
  times[1] = {100, 1000, true};
  times[2] = {100, 1000, true};
  times[3].online = false;
  times[4] = {600, 500, true};
  times[5] = {500, 600, true};
  times[6] = {500, 600, true};
  writeDeviceFile(e2e::kProcStat, procStat(times));
  const std::optional<std::string> second = ask(statsRequest());
  ASSERT_TRUE(second);
  const std::string loads =
      "cpu_load_pct 20.8\ncpu0_load_pct 25.0\ncpu1_load_pct 0.0\ncpu2_load_pct 0.0\n"
      "cpu3_load_pct NA\ncpu4_load_pct 100.0\ncpu5_load_pct 0.0\ncpu6_load_pct 0.0\n"
      "cpu7_load_pct NA\n";
  EXPECT_EQ(withoutOwnLines(*second), loads + expected.substr(expected.find("cpu0_khz")));
  EXPECT_NE(fieldsOf(*second).at("probe_cpu_pct"), "NA");
  EXPECT_GE(std::stoll(fieldsOf(*second).at("uptime_ms")), std::stoll(fields.at("uptime_ms")));
}

TEST_F(Stats, EachGpuFamilyAndNone) {
  launch();
  const struct {
    const char* name;
    std::vector<std::pair<const char*, const char*>> files;
    const char* lines;
  } families[] = {
      {"kgsl",
       {{"/sys/class/kgsl/kgsl-3d0/gpuclk", "257000000\n"},
        {"/sys/class/kgsl/kgsl-3d0/max_gpuclk", "587000000\n"},
        {"/sys/class/kgsl/kgsl-3d0/gpubusy", "       0        0\n"}},
       "gpu_khz 257000\ngpu_max_khz 587000\ngpu_busy_pct 0.0\ngpu_source kgsl\n"},
      {"exynos",
       {{"/sys/kernel/gpu/gpu_clock", "702\n"},
        {"/sys/kernel/gpu/gpu_max_clock", "702\n"},
        {"/sys/kernel/gpu/gpu_busy", " 42%\n"}},
       "gpu_khz 702000\ngpu_max_khz 702000\ngpu_busy_pct 42.0\ngpu_source exynos\n"},
      {"devfreq",
       {{"/sys/class/devfreq/ddr-bw/cur_freq", "2092000000\n"},
        {"/sys/class/devfreq/1f000000.mali/cur_freq", "151000000\n"},
        {"/sys/class/devfreq/1f000000.mali/max_freq", "848000000\n"}},
       "gpu_khz 151000\ngpu_max_khz 848000\ngpu_busy_pct NA\ngpu_source devfreq\n"},
      {"none", {}, "gpu_khz NA\ngpu_max_khz NA\ngpu_busy_pct NA\ngpu_source none\n"},
  };
  for (const auto& family : families) {
    e2e::clearDeviceFiles();
    for (const auto& [path, content] : family.files) writeDeviceFile(path, content);
    const std::optional<std::string> reply = ask(statsRequest());
    ASSERT_TRUE(reply) << family.name;
    EXPECT_NE(reply->find(family.lines), std::string::npos) << family.name << ":\n" << *reply;
  }
}

TEST_F(Stats, TheAppsProcessesWhileACollectionRuns) {
  launch();
  std::optional<std::string> reply = ask(statsRequest());
  ASSERT_TRUE(reply);
  EXPECT_NE(reply->find("app_pids NA\napp_threads NA\napp_rss_kb NA\napp_cpu_pct NA\n"),
            std::string::npos);

  // Two processes of the app, as the zygote names them, and one that is
  // not.
  std::vector<pid_t> apps;
  for (const char* argv0 : {kPackage, "com.example.game:remote", "com.example.other"}) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      execl("/bin/sleep", argv0, "60", static_cast<char*>(nullptr));
      _exit(127);
    }
    apps.push_back(pid);
  }
  ASSERT_TRUE(e2e::waitFor(
      [&apps] {
        for (pid_t pid : apps) {
          std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline");
          std::string argv0;
          if (!std::getline(in, argv0, '\0') || argv0.rfind("com.example.", 0) != 0) return false;
        }
        return true;
      },
      std::chrono::seconds(10)));
  ASSERT_EQ(ask(std::string("INITIALIZATION:") + kPackage), "success");

  reply = ask(statsRequest());
  ASSERT_TRUE(reply);
  auto fields = fieldsOf(*reply);
  EXPECT_EQ(fields.at("app_pids"), "2");
  EXPECT_EQ(fields.at("app_threads"), "2");
  EXPECT_GT(std::stoll(fields.at("app_rss_kb")), 0);
  EXPECT_EQ(fields.at("app_cpu_pct"), "NA");  // the collection's first sample
  reply = ask(statsRequest());
  ASSERT_TRUE(reply);
  fields = fieldsOf(*reply);
  EXPECT_EQ(fields.at("app_pids"), "2");
  // Sleeping processes: no time at all, or a tick landing in the interval.
  EXPECT_NE(fields.at("app_cpu_pct"), "NA");
  EXPECT_GE(std::stod(fields.at("app_cpu_pct")), 0.0);

  ASSERT_EQ(ask(kStopCollect), "success");
  reply = ask(statsRequest());
  ASSERT_TRUE(reply);
  EXPECT_EQ(fieldsOf(*reply).at("app_pids"), "NA");
  for (pid_t pid : apps) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

TEST_F(Stats, AFifoOrAFolderInAFilesPlaceReadsNAAndTheRestStays) {
  writePhone();
  launch();
  // The clock, and the devfreq clock that would stand in for it.
  const std::string gpuclk = "/sys/class/kgsl/kgsl-3d0/gpuclk";
  fs::remove(gpuclk);
  ASSERT_EQ(mkfifo(gpuclk.c_str(), 0644), 0);
  const std::string devfreqClock = "/sys/class/kgsl/kgsl-3d0/devfreq/cur_freq";
  fs::remove(devfreqClock);
  fs::create_directories(devfreqClock);
  const std::string temp = "/sys/class/thermal/thermal_zone3/temp";
  fs::remove(temp);
  fs::create_directories(temp);
  const std::optional<std::string> reply = ask(statsRequest());
  ASSERT_TRUE(reply);
  std::string changed;
  for (const auto& [name, value] : linesOf(withoutOwnLines(stats_phone::reply()))) {
    const bool unread = name == "gpu_khz" || name == "temp_cpu_0_2_0_c";
    changed += name + " " + (unread ? "NA" : value) + "\n";
  }
  EXPECT_EQ(withoutOwnLines(*reply), changed);
}

// An address of lo outside 127.0.0.0/8, so that the daemon sees a distant
// peer.
bool addFarAddress(const char* address, std::string* why) {
  ScopedFile s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ifreq ifr{};
  strncpy(ifr.ifr_name, "lo:1", IFNAMSIZ - 1);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  inet_pton(AF_INET, address, &addr.sin_addr);
  memcpy(&ifr.ifr_addr, &addr, sizeof addr);
  if (!s || ioctl(s.get(), SIOCSIFADDR, &ifr) != 0) {
    *why = strerror(errno);
    return false;
  }
  return true;
}

// Sends the requests in turn from address and returns the first reply.
std::optional<std::string> askFrom(const char* address, const std::vector<std::string>& requests) {
  ScopedFile s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in self{};
  self.sin_family = AF_INET;
  inet_pton(AF_INET, address, &self.sin_addr);
  if (!s || bind(s.get(), reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0) {
    return std::nullopt;
  }
  sockaddr_in daemon = self;
  daemon.sin_port = htons(kPort);
  for (const std::string& request : requests) {
    sendto(s.get(), request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&daemon),
           sizeof daemon);
  }
  pollfd pfd{s.get(), POLLIN, 0};
  if (poll(&pfd, 1, e2e::kReplyTimeoutMs) != 1) return std::nullopt;
  char buf[65536];
  const ssize_t n = recv(s.get(), buf, sizeof buf, 0);
  if (n < 0) return std::nullopt;
  return std::string(buf, static_cast<size_t>(n));
}

TEST_F(Stats, ADistantPeerGetsTheLinesThatFitAndTheCountLeftOut) {
  writePhone();
  for (int zone = 40; zone < 160; ++zone) {
    const std::string dir = "/sys/class/thermal/thermal_zone" + std::to_string(zone) + "/";
    writeDeviceFile(dir + "type", "sdm-therm-" + std::to_string(zone) + "\n");
    writeDeviceFile(dir + "temp", "41000\n");
  }
  launch();
  std::string why;
  ASSERT_TRUE(addFarAddress("10.200.0.1", &why)) << why;

  const std::optional<std::string> near = ask(statsRequest());
  ASSERT_TRUE(near);
  ASSERT_GT(near->size(), kAmplification * kMaxRequestSize);
  EXPECT_EQ(near->find("truncated"), std::string::npos);

  const std::optional<std::string> far = askFrom("10.200.0.1", {statsRequest()});
  ASSERT_TRUE(far);
  EXPECT_LE(far->size(), kAmplification * kMaxRequestSize);
  const auto nearLines = linesOf(*near), farLines = linesOf(*far);
  ASSERT_GE(farLines.size(), 2u);
  // Every line but the count is the near reply's, in order, up to a zone.
  const size_t kept = farLines.size() - 1;
  for (size_t i = 0; i < kept; ++i) {
    if (farLines[i].first.rfind("probe_", 0) == 0 || farLines[i].first == "uptime_ms" ||
        farLines[i].first.find("_load_pct") != std::string::npos) {
      EXPECT_EQ(farLines[i].first, nearLines[i].first);
    } else {
      EXPECT_EQ(farLines[i], nearLines[i]) << i;
    }
  }
  EXPECT_EQ(farLines.back().first, "truncated");
  EXPECT_EQ(farLines.back().second, std::to_string(nearLines.size() - kept));
  EXPECT_EQ(farLines[kept - 1].first.rfind("temp_", 0), 0u) << "only zones are left out";
  // A short request from afar still gets nothing: the daemon answers in
  // turn, so the first reply is the padded request's that followed it.
  const std::optional<std::string> first = askFrom("10.200.0.1", {kGetStats, statsRequest()});
  ASSERT_TRUE(first);
  EXPECT_EQ(linesOf(*first).back().first, "truncated");
}

// perfprobe-sim, which the dumpsys of the suite's folder links to.
std::string simulatorPath() {
  std::error_code error;
  const fs::path sim = fs::canonical(fs::path(e2e::dumpsysBinDir) / "dumpsys", error);
  return error || sim.filename() != "perfprobe-sim" ? std::string() : sim.string();
}

bool runSimulator(const std::vector<std::string>& args) {
  const std::string sim = simulatorPath();
  std::vector<char*> argv = {const_cast<char*>(sim.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

int64_t fileNumber(const std::string& path) {
  std::ifstream in(path);
  int64_t value = 0;
  in >> value;
  return value;
}

// The simulated phone in each vendor's units and signs, written where a
// phone has its files: the daemon must read every one the same.
TEST_F(Stats, EveryVendorsUnitsAndSignsOfTheSimulatedPhoneReadAlike) {
  if (simulatorPath().empty()) GTEST_SKIP() << "dumpsys is not the simulator's here";
  const std::string state = e2e::makeSimDir();
  ASSERT_FALSE(state.empty());
  e2e::startSimApp(state, 30 * int64_t{1000000000});
  launch();
  const struct {
    const char* conf;
    const char* gpu;
    const char* status;
    int64_t perMilliamp;  // current_now per mA
    int64_t perDegree;    // temp per °C, in tenths
  } phones[] = {
      {"gpu=kgsl\n", "kgsl", "Discharging", 1000, 100},
      {"gpu=exynos\nbattery_current_unit=ma\nthermal_unit=deci\n", "exynos", "Discharging", 1, 1},
      {"gpu=devfreq\nbattery_current_sign=discharging_positive\nthermal_unit=degrees\n", "devfreq",
       "Discharging", -1000, 0},
      {"gpu=none\nbattery_current_unit=ma\nbattery_current_sign=discharging_positive\n"
       "charging=1\n",
       "none", "Charging", -1, 100},
      {"charging=1\n", "kgsl", "Charging", 1000, 100},
  };
  for (const auto& phone : phones) {
    std::ofstream(state + "/device.conf") << "package=" << kPackage << "\n" << phone.conf;
    e2e::clearDeviceFiles();
    e2e::clearCpuTree();
    ASSERT_TRUE(runSimulator({"device-tree", "/", "--cpus", "8"})) << phone.conf;
    const std::optional<std::string> reply = ask(statsRequest());
    ASSERT_TRUE(reply) << phone.conf;
    const auto fields = fieldsOf(*reply);
    const std::string what = std::string(phone.conf) + *reply;
    EXPECT_EQ(fields.at("gpu_source"), phone.gpu) << what;
    EXPECT_EQ(fields.at("battery_status"), phone.status) << what;

    // The current as the file holds it, in the vendor's unit and sign; the
    // reply's is mA, negative while discharging.
    const int64_t raw = fileNumber("/sys/class/power_supply/battery/current_now");
    const int64_t ma = std::stoll(fields.at("battery_ma"));
    const int64_t magnitude = (raw < 0 ? -raw : raw);
    const int64_t unit = phone.perMilliamp < 0 ? -phone.perMilliamp : phone.perMilliamp;
    EXPECT_EQ(ma < 0 ? -ma : ma, (magnitude + unit / 2) / unit) << what;
    EXPECT_EQ(ma < 0, std::string(phone.status) == "Discharging") << what;
    EXPECT_GT(magnitude / unit, 100) << what;
    const int64_t mv = std::stoll(fields.at("battery_mv"));
    EXPECT_TRUE(mv > 3000 && mv < 4500) << what;
    EXPECT_EQ(std::stoll(fields.at("battery_mw")) < 0, ma < 0) << what;

    // Every zone in °C, whatever unit the file has.
    size_t zones = 0;
    for (const auto& [name, value] : linesOf(*reply)) {
      if (name.rfind("temp_", 0) != 0) continue;
      ++zones;
      const double celsius = std::stod(value);
      EXPECT_TRUE(celsius > 20 && celsius < 70) << name << " " << value << "\n" << what;
    }
    EXPECT_GE(zones, 40u) << what;
    const int64_t zone0 = fileNumber("/sys/class/thermal/thermal_zone0/temp");
    const double celsius0 = std::stod(linesOf(*reply)[linesOf(*reply).size() - zones].second);
    const double expected0 = phone.perDegree == 0   ? static_cast<double>(zone0)
                             : phone.perDegree == 1 ? zone0 / 10.0
                                                    : zone0 / 1000.0;
    EXPECT_NEAR(celsius0, expected0, 0.051) << what;
  }
}

}  // namespace
