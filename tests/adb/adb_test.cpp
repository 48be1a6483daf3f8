#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "e2e/harness.h"
#include "e2e/run_program.h"

// The client over USB, end to end: `perfprobe deploy` and `--adb` run the
// stand-in adb client of this folder, whose device is this namespace, so
// that what the client pushes, starts and relays through is real.
namespace {

namespace fs = std::filesystem;
using e2e::describe;
using e2e::exitCode;
using e2e::Outcome;
using e2e::Program;
using e2e::runProgram;
using e2e::slurp;

constexpr char kPackage[] = "com.example.game";
constexpr char kSerial[] = "SIM0001";
constexpr char kDeviceTmp[] = "/data/local/tmp";

// A flag of this run's command line, before "--": the shared main reads its
// own and leaves the rest, so the suite reads its flags where the kernel
// keeps them.
std::string commandLineFlag(const std::string& name) {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  const std::string prefix = "--" + name + "=";
  for (std::string arg; std::getline(in, arg, '\0');) {
    if (arg == "--") break;
    if (arg.rfind(prefix, 0) == 0) return fs::absolute(arg.substr(prefix.size()));
  }
  return "";
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

// The whole lines of a file that may still be written.
std::vector<std::string> wholeLines(const std::string& path) {
  std::vector<std::string> out = split(slurp(path), '\n');
  out.pop_back();
  return out;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A generous budget for one reply: the daemon and the relay may run under
// emulation, behind a shell.
std::vector<std::string> patient(std::vector<std::string> args) {
  args.insert(args.begin(), {"--timeout", "2000", "--retries", "3"});
  return args;
}

// One call of the stand-in adb: its pid and its arguments.
struct Call {
  pid_t pid = 0;
  std::string args;
};

// A process's state letter and parent, from /proc/PID/stat; "" once it is gone.
std::pair<std::string, pid_t> stateOf(pid_t pid) {
  const std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
  // pid (comm) state ppid ...: comm may hold anything, so parse from the last ")".
  const size_t end = stat.rfind(')');
  if (end == std::string::npos) return {"", 0};
  std::istringstream rest(stat.substr(end + 1));
  std::string state;
  pid_t ppid = 0;
  rest >> state >> ppid;
  return {state, ppid};
}

pid_t parentOf(pid_t pid) { return stateOf(pid).second; }

// Not yet exited: a child that has ended stays a zombie until it is reaped.
bool running(pid_t pid) {
  const std::string state = stateOf(pid).first;
  return !state.empty() && state != "Z";
}

// One phone on the cable, simulated in this namespace: the game draws a
// steady 50 frames per second on four CPUs at known clocks. No daemon runs
// until a test starts one, through deploy or itself.
class Adb : public e2e::DaemonTest {
 protected:
  static void SetUpTestSuite() {
    // The stand-in first, before the real adb of the machine, if any.
    const char* path = getenv("PATH");
    setenv("PATH", (std::string(ADB_DOUBLE_BIN_DIR) + ":" + (path != nullptr ? path : "")).c_str(),
           1);
  }

  void SetUp() override {
    DaemonTest::SetUp();
    deviceClient_ = commandLineFlag("device-client");
    ASSERT_FALSE(deviceClient_.empty()) << "--device-client=PATH is missing";
    simDir_ = e2e::makeSimDir();
    ASSERT_FALSE(simDir_.empty());
    std::ofstream(simDir_ + "/device.conf") << "package=" << kPackage << "\nfps=50\n";
    e2e::startSimApp(simDir_, 10 * 1000000000LL);
    for (int i = 0; i < 4; ++i) {
      e2e::addCpu("cpu" + std::to_string(i), std::to_string(300000 + 100000 * i) + "\n");
    }
    adbDir_ = simDir_ + "/adb";
    fs::create_directories(adbDir_);
    setenv("ADB_DOUBLE_DIR", adbDir_.c_str(), 1);
    // The phone's AArch64 binaries run under the emulator that runs the
    // suite's daemon.
    if (e2e::daemonEmulated()) {
      setenv("ADB_DOUBLE_QEMU", e2e::daemonCommand[0].c_str(), 1);
    } else {
      unsetenv("ADB_DOUBLE_QEMU");
    }
    from_ = simDir_ + "/from";
    fs::create_directories(from_);
    fs::create_symlink(e2e::daemonCommand.back(), from_ + "/perfprobed");
    fs::create_symlink(deviceClient_, from_ + "/perfprobe");
    scratch_ = simDir_ + "/scratch";
    fs::create_directories(scratch_);
  }

  void TearDown() override {
    DaemonTest::TearDown();
    std::error_code ec;
    fs::remove_all(simDir_, ec);
  }

  void connect(const std::string& devicesFile) {
    std::ofstream(adbDir_ + "/devices") << devicesFile;
  }

  Outcome client(const std::vector<std::string>& args, Program program = {}) {
    program.argv = {e2e::clientPath};
    program.argv.insert(program.argv.end(), args.begin(), args.end());
    return runProgram(program, scratch_);
  }

  Outcome deploy(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"deploy", "--from", from_};
    args.insert(args.end(), extra.begin(), extra.end());
    return client(patient(args));
  }

  std::vector<Call> calls() const {
    std::vector<Call> out;
    for (const std::string& line : wholeLines(adbDir_ + "/calls")) {
      const size_t gap = line.find(' ');
      out.push_back({std::atoi(line.substr(0, gap).c_str()),
                     gap == std::string::npos ? "" : line.substr(gap + 1)});
    }
    return out;
  }

  std::string callList() const { return slurp(adbDir_ + "/calls"); }

  void forgetCalls() const { fs::remove(adbDir_ + "/calls"); }

  // Waits until the processes left in the namespace are `count`, orphans
  // reaped (an adb whose client has gone is ours).
  ::testing::AssertionResult processesLeft(size_t count) const {
    size_t others = 0;
    const bool settled = e2e::waitFor(
        [&] {
          e2e::reapOrphans(0);
          others = e2e::otherProcesses().size();
          return others == count;
        },
        std::chrono::seconds(15));
    if (settled) return ::testing::AssertionSuccess();
    std::string listed;
    for (pid_t p : e2e::otherProcesses()) {
      std::string cmdline = slurp("/proc/" + std::to_string(p) + "/cmdline");
      std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
      listed += "\n  " + std::to_string(p) + ": " + cmdline;
    }
    return ::testing::AssertionFailure() << others << " processes, not " << count << ":" << listed;
  }

  std::string pushed(const std::string& name) const {
    return adbDir_ + "/root" + kDeviceTmp + "/" + name;
  }

  std::string deviceClient_;
  std::string simDir_;
  std::string adbDir_;
  std::string from_;
  std::string scratch_;
};

// The positions of calls that start with each prefix in turn, one after the
// other; empty when one is missing.
std::vector<size_t> inOrder(const std::vector<Call>& calls,
                            const std::vector<std::string>& prefixes) {
  std::vector<size_t> at;
  size_t next = 0;
  for (const std::string& prefix : prefixes) {
    while (next < calls.size() && calls[next].args.rfind(prefix, 0) != 0) ++next;
    if (next == calls.size()) return {};
    at.push_back(next++);
  }
  return at;
}

size_t countStarting(const std::vector<Call>& calls, const std::string& prefix) {
  return static_cast<size_t>(std::count_if(
      calls.begin(), calls.end(), [&](const Call& c) { return c.args.rfind(prefix, 0) == 0; }));
}

const std::string kRelayShell =
    std::string("-s ") + kSerial + " shell exec " + kDeviceTmp + "/perfprobe relay";
const std::string kDaemonShell =
    std::string("-s ") + kSerial + " shell " + kDeviceTmp + "/perfprobed";

TEST_F(Adb, DeployPushesBothStartsTheDaemonAndLeavesItAloneRunning) {
  connect(std::string(kSerial) + "\tdevice\n");
  const Outcome deployed = deploy();
  ASSERT_EQ(exitCode(deployed), 0) << describe(deployed);

  const std::vector<Call> made = calls();
  const std::string s = std::string("-s ") + kSerial + " ";
  EXPECT_EQ(
      inOrder(made, {"devices", s + "push " + from_ + "/perfprobed " + kDeviceTmp + "/perfprobed",
                     s + "push " + from_ + "/perfprobe " + kDeviceTmp + "/perfprobe", kRelayShell,
                     kDaemonShell})
          .size(),
      5u)
      << callList();
  EXPECT_EQ(countStarting(made, kDaemonShell), 1u) << callList();
  for (const char* name : {"perfprobed", "perfprobe"}) {
    struct stat st;
    ASSERT_EQ(stat(pushed(name).c_str(), &st), 0) << name;
    EXPECT_EQ(st.st_size, static_cast<off_t>(fs::file_size(from_ + "/" + name))) << name;
    EXPECT_TRUE(st.st_mode & S_IXUSR) << name;
  }

  EXPECT_EQ(e2e::ask(kConnectDaemon), std::optional<std::string>(kSuccess));
  // The pushed daemon, detached, is all that is left: the relay ended with
  // the deploy.
  ASSERT_TRUE(processesLeft(1));
  std::string cmdline = slurp("/proc/" + std::to_string(e2e::otherProcesses()[0]) + "/cmdline");
  EXPECT_TRUE(contains(cmdline, pushed("perfprobed"))) << cmdline;
  // An AArch64 daemon runs under the emulator, as the stand-in found it.
  if (e2e::daemonEmulated()) {
    EXPECT_EQ(cmdline.rfind(e2e::daemonCommand[0] + '\0', 0), 0u) << cmdline;
  }
}

TEST_F(Adb, DeployLeavesADaemonThatAnswersRunning) {
  launch();
  connect(std::string(kSerial) + "\tdevice\n");
  const Outcome deployed = deploy();
  ASSERT_EQ(exitCode(deployed), 0) << describe(deployed);
  const std::vector<Call> made = calls();
  EXPECT_EQ(inOrder(made, {"devices", "-s " + std::string(kSerial) + " push",
                           "-s " + std::string(kSerial) + " push", kRelayShell})
                .size(),
            4u)
      << callList();
  EXPECT_EQ(countStarting(made, kDaemonShell), 0u) << callList();
  EXPECT_TRUE(backToIdle());
}

TEST_F(Adb, DeployFailsWithStatus1AndSaysWhy) {
  const std::string noAdb = simDir_ + "/empty-path";
  fs::create_directories(noAdb);
  const struct {
    const char* what;
    const char* devices;  // nullptr: no file
    bool failPush;
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> env;
    std::vector<std::string> said;
  } cases[] = {
      {"adb missing", "SIM0001 device\n", false, {}, {{"PATH", noAdb}}, {"adb"}},
      {"no devices file", nullptr, false, {}, {}, {"no device"}},
      {"nothing listed", "", false, {}, {}, {"no device"}},
      {"two devices", "SIMA device\nSIMB device\n", false, {}, {}, {"--serial", "SIMA", "SIMB"}},
      {"unauthorized", "SIM0001 unauthorized\n", false, {}, {}, {"unauthori"}},
      {"offline", "SIM0001 offline\n", false, {}, {}, {"offline"}},
      {"unknown serial", "SIMA device\n", false, {"--serial", "SIMX"}, {}, {"SIMX"}},
      {"push refused", "SIM0001 device\n", true, {}, {}, {"push"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(adbDir_ + "/devices");
    if (c.devices != nullptr) connect(c.devices);
    if (c.failPush) {
      std::ofstream(adbDir_ + "/fail-push").flush();
    } else {
      fs::remove(adbDir_ + "/fail-push");
    }
    forgetCalls();
    Program program;
    program.env = c.env;
    std::vector<std::string> args = {"deploy", "--from", from_};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome result = client(patient(args), program);
    EXPECT_EQ(exitCode(result), 1) << describe(result);
    for (const std::string& word : c.said) {
      EXPECT_TRUE(contains(result.err, word)) << word << " in:\n" << result.err;
    }
    // Nothing ran on the phone, and no device step came after a failed one.
    const std::vector<Call> made = calls();
    EXPECT_EQ(std::count_if(made.begin(), made.end(),
                            [](const Call& call) { return contains(call.args, " shell "); }),
              0)
        << callList();
    if (!c.failPush) {
      EXPECT_EQ(countStarting(made, "-s "), 0u) << callList();
    }
    EXPECT_TRUE(processesLeft(0));
  }
}

TEST_F(Adb, ChoosesTheDeviceBySerialThenAndroidSerial) {
  connect("SIMA\tdevice\nSIMB\tdevice\n");
  Outcome result = deploy({"--serial", "SIMB"});
  ASSERT_EQ(exitCode(result), 0) << describe(result);
  std::vector<Call> made = calls();
  EXPECT_EQ(countStarting(made, "-s SIMB push"), 2u) << callList();
  EXPECT_EQ(countStarting(made, "-s SIMA"), 0u) << callList();

  const struct {
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> env;
    const char* serial;
  } cases[] = {
      {{"--adb", "SIMA", "ping"}, {}, "SIMA"},
      {{"--adb", "ping"}, {{"ANDROID_SERIAL", "SIMB"}}, "SIMB"},
      {{"--adb", "SIMA", "ping"}, {{"ANDROID_SERIAL", "SIMB"}}, "SIMA"},
      // After the command's name, --adb takes no word of the command's.
      {{"ping", "--adb=SIMA"}, {}, "SIMA"},
      {{"send", "--adb", "CONNECT_DAEMON"}, {{"ANDROID_SERIAL", "SIMB"}}, "SIMB"},
  };
  for (const auto& c : cases) {
    forgetCalls();
    Program program;
    program.env = c.env;
    result = client(patient(c.args), program);
    EXPECT_EQ(exitCode(result), 0) << c.serial << ": " << describe(result);
    EXPECT_EQ(result.out, "success\n") << c.serial;
    made = calls();
    EXPECT_EQ(countStarting(made, std::string("-s ") + c.serial + " shell exec " + kDeviceTmp +
                                      "/perfprobe relay"),
              1u)
        << callList();
  }
}

TEST_F(Adb, DeployGivesStatus2WhenTheStartedDaemonNeverAnswers) {
  // A daemon that starts, detaches and serves nothing.
  fs::remove(from_ + "/perfprobed");
  std::ofstream(from_ + "/perfprobed") << "#!/bin/sh\nexit 0\n";
  fs::permissions(from_ + "/perfprobed", fs::perms::owner_all | fs::perms::group_read |
                                             fs::perms::group_exec | fs::perms::others_read |
                                             fs::perms::others_exec);
  connect(std::string(kSerial) + "\tdevice\n");
  const Outcome result = client({"--timeout", "500", "--retries", "0", "deploy", "--from", from_});
  EXPECT_EQ(exitCode(result), 2) << describe(result);
  EXPECT_FALSE(result.err.empty());
  EXPECT_EQ(countStarting(calls(), kDaemonShell), 1u) << callList();
  EXPECT_TRUE(processesLeft(0));
}

TEST_F(Adb, MonitorsThroughAdbToTheEnd) {
  connect(std::string(kSerial) + "\tdevice\n");
  const Outcome deployed = deploy();
  ASSERT_EQ(exitCode(deployed), 0) << describe(deployed);
  ASSERT_TRUE(processesLeft(1));
  forgetCalls();

  const std::string csv = simDir_ + "/out.csv";
  const Outcome result = client(patient(
      {"monitor", "--adb", kPackage, "--interval", "0.5", "--duration", "2", "--csv", csv}));
  ASSERT_EQ(exitCode(result), 0) << describe(result);
  EXPECT_EQ(countStarting(calls(), kRelayShell), 1u) << callList();

  const std::vector<std::string> rows = wholeLines(csv);
  ASSERT_EQ(rows.size(), 1u + 4u) << slurp(csv);
  const std::vector<std::string> columns = split(rows[0], ',');
  ASSERT_GE(columns.size(), 2u);
  EXPECT_EQ(columns[0], "time_s");
  EXPECT_EQ(columns[1], "fps");
  const size_t cpu3 = std::find(columns.begin(), columns.end(), "cpu3_khz") - columns.begin();
  ASSERT_LT(cpu3, columns.size()) << rows[0];
  for (size_t i = 1; i < rows.size(); ++i) {
    const std::vector<std::string> fields = split(rows[i], ',');
    ASSERT_EQ(fields.size(), columns.size()) << rows[i];
    EXPECT_NEAR(std::stod(fields[0]), 0.5 * static_cast<double>(i), 0.4) << rows[i];
    EXPECT_EQ(fields[cpu3], "600000") << rows[i];
    // 50 frames a second, once the first window has ended.
    if (i > 2 || fields[1] != "NA") {
      EXPECT_NEAR(std::stod(fields[1]), 50, 1.0) << rows[i];
    }
  }
  // The monitor stopped its collection and its relay: the daemon is alone.
  EXPECT_TRUE(processesLeft(1));
}

TEST_F(Adb, AnAdbKilledMidMonitorEndsItWithStatus2AndKeepsTheRows) {
  connect(std::string(kSerial) + "\tdevice\n");
  const Outcome deployed = deploy();
  ASSERT_EQ(exitCode(deployed), 0) << describe(deployed);
  forgetCalls();

  const std::string csv = simDir_ + "/out.csv";
  std::string stepFailed;
  size_t rowsAtKill = 0;
  Program program;
  program.whileRunning = [&](pid_t monitor, const std::string&) {
    if (!e2e::waitFor([&] { return wholeLines(csv).size() >= 2 || !running(monitor); },
                      std::chrono::seconds(60)) ||
        !running(monitor)) {
      stepFailed = "no sample";
      return;
    }
    pid_t relay = 0;
    for (const Call& call : calls()) {
      if (call.args.rfind(kRelayShell, 0) == 0) relay = call.pid;
    }
    if (relay == 0) {
      stepFailed = "no relay call in:\n" + callList();
      return;
    }
    // The adb of this monitor, and not one that has ended.
    if (parentOf(relay) != monitor) {
      stepFailed = "adb " + std::to_string(relay) + " is no child of the monitor";
      return;
    }
    rowsAtKill = wholeLines(csv).size();
    kill(relay, SIGKILL);
  };
  const Outcome result = client(patient({"--adb", "monitor", kPackage, "--interval", "0.5",
                                         "--duration", "600", "--csv", csv}),
                                program);
  ASSERT_EQ(stepFailed, "") << describe(result);
  EXPECT_EQ(exitCode(result), 2) << describe(result);
  EXPECT_TRUE(contains(result.err, "adb")) << result.err;
  // The rows taken before are all there, whole.
  const std::string text = slurp(csv);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  const std::vector<std::string> rows = wholeLines(csv);
  EXPECT_GE(rows.size(), rowsAtKill);
  const size_t columns = split(rows[0], ',').size();
  for (const std::string& row : rows) EXPECT_EQ(split(row, ',').size(), columns) << row;
}

// GET PATH of a server on loopback, HTTP/1.0 so that it closes at the end;
// the body, or "" when it could not be read.
std::string httpGet(int port, const std::string& path) {
  ScopedFile fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (!fd || connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return "";
  const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  if (write(fd.get(), request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
    return "";
  }
  std::string response;
  char buf[65536];
  for (;;) {
    pollfd pfd{fd.get(), POLLIN, 0};
    if (poll(&pfd, 1, 5000) <= 0) return "";
    const ssize_t n = read(fd.get(), buf, sizeof buf);
    if (n < 0) return "";
    if (n == 0) break;
    response.append(buf, static_cast<size_t>(n));
  }
  const size_t body = response.find("\r\n\r\n");
  return body == std::string::npos ? "" : response.substr(body + 4);
}

// The page's value of one series, "" when it has none.
std::string sampleOf(const std::string& page, const std::string& series) {
  for (const std::string& line : split(page, '\n')) {
    if (line.rfind(series + " ", 0) == 0) return line.substr(series.size() + 1);
  }
  return "";
}

double numberOf(const std::string& page, const std::string& series) {
  const std::string value = sampleOf(page, series);
  return value.empty() ? -1 : std::stod(value);
}

TEST_F(Adb, TheExporterWatchesAPhoneThroughAdbBesideOneThatIsNotThere) {
  connect(std::string(kSerial) + "\tdevice\n");
  const Outcome deployed = deploy();
  ASSERT_EQ(exitCode(deployed), 0) << describe(deployed);
  forgetCalls();

  constexpr int kExporterPort = 9465;
  std::string page;
  std::string stepFailed;
  Program program;
  program.whileRunning = [&](pid_t exporter, const std::string&) {
    const bool seen = e2e::waitFor(
        [&] {
          page = httpGet(kExporterPort, "/metrics");
          return !running(exporter) ||
                 (sampleOf(page, "perfprobe_up{device=\"usb\"}") == "1" &&
                  !sampleOf(page, "perfprobe_frame_rate_hertz{device=\"usb\"}").empty() &&
                  numberOf(page, "perfprobe_request_failures_total{device=\"gone\"}") >= 2);
        },
        std::chrono::seconds(90));
    if (!seen || !running(exporter)) stepFailed = "the page never showed both devices";
    kill(exporter, SIGINT);
  };
  const Outcome result =
      client(patient({"exporter", "--listen", "127.0.0.1:" + std::to_string(kExporterPort),
                      "--device", std::string("usb=adb:") + kSerial, "--device", "gone=adb:NOPE",
                      "--package", kPackage, "--interval", "2"}),
             program);
  ASSERT_EQ(stepFailed, "") << page << describe(result);
  EXPECT_EQ(exitCode(result), 0) << describe(result);
  EXPECT_TRUE(contains(result.out, "stopped the collection on 1 of 2 devices")) << result.out;
  // The phone's figures, through its relay.
  EXPECT_EQ(sampleOf(page, "perfprobe_cpu_frequency_hertz{device=\"usb\",cpu=\"3\"}"), "600000000")
      << page;
  EXPECT_NEAR(std::stod(sampleOf(page, "perfprobe_frame_rate_hertz{device=\"usb\"}")), 50, 1.0)
      << page;
  // The device that adb does not list is down, and says why, once.
  EXPECT_EQ(sampleOf(page, "perfprobe_up{device=\"gone\"}"), "0") << page;
  EXPECT_TRUE(contains(result.err, "gone is down")) << result.err;
  // One relay for the phone for the whole run, not one per poll; the other
  // device's adb is tried again only every few polls.
  EXPECT_EQ(countStarting(calls(), kRelayShell), 1u) << callList();
  const double polls = numberOf(page, "perfprobe_requests_total{device=\"gone\"}");
  EXPECT_LE(static_cast<double>(countStarting(calls(), "-s NOPE shell")), polls / 2 + 1)
      << polls << " polls\n"
      << callList();
  // The collection is stopped and the relay gone: the daemon is alone.
  EXPECT_TRUE(processesLeft(1));
}

// The stand-in itself, where the suite's verdicts rest on its likeness to
// the real client: device choice, shell and exec-out streams and statuses,
// and the pid it records being the command's own.
TEST_F(Adb, TheStandInBehavesAsAdb) {
  const struct {
    const char* devices;
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string out;
    std::string errHas;
  } cases[] = {
      {"A device\nB unauthorized\n",
       {"devices"},
       "",
       0,
       "List of devices attached\nA\tdevice\nB\tunauthorized\n\n",
       ""},
      {"", {"shell", "true"}, "", 1, "", "adb: no devices/emulators found\n"},
      {"A device\nB device\n",
       {"shell", "true"},
       "",
       1,
       "",
       "adb: more than one device/emulator\n"},
      {"A device\n", {"-s", "Z", "shell", "true"}, "", 1, "", "adb: device 'Z' not found\n"},
      {"A unauthorized\n", {"shell", "true"}, "", 1, "", "adb: device unauthorized.\n"},
      {"A offline\n", {"shell", "true"}, "", 1, "", "adb: device offline\n"},
      {"", {"exec-out", "true"}, "", 255, "", "error: no devices/emulators found\n"},
      // shell: standard input goes through, the command's status comes back.
      {"A device\n", {"shell", "cat; exit 3"}, "hello\n", 3, "hello\n", ""},
      // exec-out: standard input neither comes nor ends, stderr joins
      // stdout, and the status is 0.
      {"A device\n",
       {"exec-out", "timeout 1 cat; echo cat $?; echo err >&2; exit 3"},
       "hello\n",
       0,
       "cat 124\nerr\n",
       ""},
  };
  for (const auto& c : cases) {
    std::string what = "adb";
    for (const std::string& arg : c.args) what += " " + arg;
    SCOPED_TRACE(what);
    connect(c.devices);
    Program program;
    program.argv = {"adb"};
    program.argv.insert(program.argv.end(), c.args.begin(), c.args.end());
    program.input = c.input;
    const Outcome result = runProgram(program, scratch_);
    EXPECT_EQ(exitCode(result), c.status) << describe(result);
    EXPECT_EQ(result.out, c.out);
    EXPECT_TRUE(contains(result.err, c.errHas)) << result.err;
  }

  // The recorded pid is the command's.
  connect("A device\n");
  forgetCalls();
  Program program;
  program.argv = {"adb", "shell", "echo $$"};
  const Outcome result = runProgram(program, scratch_);
  ASSERT_EQ(exitCode(result), 0) << describe(result);
  const std::vector<Call> made = calls();
  ASSERT_EQ(made.size(), 1u) << callList();
  EXPECT_EQ(result.out, std::to_string(made[0].pid) + "\n");
}

}  // namespace
