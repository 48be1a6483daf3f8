#include "harness.h"

#include <arpa/inet.h>
#include <errno.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <algorithm>
#include <thread>

#include "fpsbench/fpsbench.h"
#include "scoped_resource.h"

namespace e2e {

namespace fs = std::filesystem;

std::vector<std::string> daemonCommand;
std::string dumpsysBinDir;
std::string clientPath;
size_t runtimeThreads = 0;

namespace {

constexpr int kLaunchTimeoutMs = 20000;
constexpr int kServingTimeoutMs = 20000;

using Clock = std::chrono::steady_clock;

std::string errnoText(const char* what) {
  return std::string(what) + ": " + strerror(errno);
}

}  // namespace

bool bringUpLoopback(std::string* why) {
  ScopedFile s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!s) {
    *why = errnoText("socket");
    return false;
  }
  ifreq ifr{};
  strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(s.get(), SIOCGIFFLAGS, &ifr) == 0;
  if (ok) {
    ifr.ifr_flags |= IFF_UP;
    ok = ioctl(s.get(), SIOCSIFFLAGS, &ifr) == 0;
  }
  if (!ok) *why = errnoText("bringing up lo");
  return ok;
}

bool daemonEmulated() {
  return !daemonCommand.empty() &&
         fs::path(daemonCommand[0]).filename().string().rfind("qemu-", 0) == 0;
}

bool enterTestNamespace(std::string* why) {
  if (unshare(CLONE_NEWNS | CLONE_NEWPID | CLONE_NEWNET) != 0) {
    *why = errnoText("unshare(CLONE_NEWNS | CLONE_NEWPID | CLONE_NEWNET)");
    return false;
  }
  fflush(nullptr);
  const pid_t first = fork();
  if (first < 0) {
    *why = errnoText("fork");
    return false;
  }
  if (first > 0) {
    // The outer process only hands on the verdict of the one inside.
    int status = 0;
    while (waitpid(first, &status, 0) < 0 && errno == EINTR) {
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    *why = errnoText("making / private");
    return false;
  }
  if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
    *why = errnoText("mounting /proc");
    return false;
  }
  for (const char* dir : {kCpuDir, kClassDir, kKernelDir}) {
    if (mount("tmpfs", dir, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
      *why = errnoText((std::string("mounting a tmpfs over ") + dir).c_str());
      return false;
    }
  }
  // /proc/stat and /proc/meminfo become files of the tests: each is a file
  // of the tmpfs over /sys/kernel, bound over the real one, so that writing
  // the path in place writes it.
  fs::create_directories(kProcFilesDir);
  for (const char* path : {kProcStat, kProcMeminfo}) {
    const std::string backing = std::string(kProcFilesDir) + "/" + fs::path(path).filename().string();
    std::ofstream(backing, std::ios::binary).flush();
    if (mount(backing.c_str(), path, nullptr, MS_BIND, nullptr) != 0) {
      *why = errnoText((std::string("binding a file over ") + path).c_str());
      return false;
    }
  }
  return bringUpLoopback(why);
}

int launchDaemon() {
  std::vector<char*> argv;
  for (const std::string& word : daemonCommand) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  fflush(nullptr);
  const pid_t launcher = fork();
  if (launcher == 0) {
    execvp(argv[0], argv.data());
    _exit(127);
  }
  if (launcher < 0) return -1;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kLaunchTimeoutMs);
  int status = 0;
  for (;;) {
    const pid_t p = waitpid(launcher, &status, WNOHANG);
    if (p == launcher) return status;
    if ((p < 0 && errno != EINTR) || Clock::now() > deadline) return -1;
    nap(10);
  }
}

::testing::AssertionResult startDaemon() {
  const int status = launchDaemon();
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return ::testing::AssertionFailure() << "launcher " << describeStatus(status);
  }
  if (!waitUntilServing()) return ::testing::AssertionFailure() << "no answer to CONNECT_DAEMON";
  return ::testing::AssertionSuccess();
}

bool waitUntilServing() {
  const auto deadline = Clock::now() + std::chrono::milliseconds(kServingTimeoutMs);
  while (Clock::now() < deadline) {
    // A fresh client each time, so that a late answer to an earlier probe
    // can never be taken for the answer to a later request.
    UdpClient probe;
    if (probe.ask("CONNECT_DAEMON", 100) == std::optional<std::string>("success")) return true;
  }
  return false;
}

bool waitAnyExit(int timeoutMs, pid_t* pid, int* status) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < deadline) {
    const pid_t p = waitpid(-1, status, WNOHANG);
    if (p > 0) {
      *pid = p;
      return true;
    }
    if (p < 0 && errno != EINTR) return false;
    nap(10);
  }
  return false;
}

std::vector<pid_t> otherProcesses() {
  std::vector<pid_t> pids;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t p = std::atoi(name.c_str());
    if (p != getpid()) pids.push_back(p);
  }
  return pids;
}

void endAllDaemons() {
  for (pid_t p : otherProcesses()) kill(p, SIGKILL);
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    int status;
    const pid_t p = waitpid(-1, &status, WNOHANG);
    if (p < 0 && errno == ECHILD) return;
    if (p == 0) nap(10);
  }
  ADD_FAILURE() << "processes of the namespace did not end";
}

std::string describeStatus(int status) {
  if (status == -1) return "did not exit in time";
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("killed by ") + strsignal(WTERMSIG(status));
  return "wait status " + std::to_string(status);
}

UdpClient::UdpClient() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
  EXPECT_TRUE(fd_) << strerror(errno);
}

void UdpClient::send(const std::string& bytes) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kPort);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const ssize_t n = sendto(fd_.get(), bytes.data(), bytes.size(), 0,
                           reinterpret_cast<const sockaddr*>(&to), sizeof to);
  EXPECT_EQ(n, static_cast<ssize_t>(bytes.size())) << strerror(errno);
}

std::optional<std::string> UdpClient::receive(int timeoutMs) {
  pollfd pfd{fd_.get(), POLLIN, 0};
  if (poll(&pfd, 1, timeoutMs) != 1) return std::nullopt;
  std::string buf(65536, '\0');
  const ssize_t n = recv(fd_.get(), buf.data(), buf.size(), MSG_DONTWAIT);
  if (n < 0) return std::nullopt;
  buf.resize(static_cast<size_t>(n));
  return buf;
}

std::optional<std::string> UdpClient::ask(const std::string& bytes, int timeoutMs) {
  send(bytes);
  return receive(timeoutMs);
}

::testing::AssertionResult noReplyTo(const std::string& request) {
  UdpClient asker;
  UdpClient prober;
  asker.send(request);
  const auto probe = prober.ask("CONNECT_DAEMON");
  if (probe != std::optional<std::string>("success")) {
    return ::testing::AssertionFailure() << "the daemon stopped answering";
  }
  if (const auto reply = asker.receive(0)) {
    return ::testing::AssertionFailure() << "unexpected reply \"" << *reply << "\"";
  }
  return ::testing::AssertionSuccess();
}

ProcessState processState(pid_t pid) {
  ProcessState state;
  const fs::path proc = "/proc/" + std::to_string(pid);
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(proc / "task", ec)) {
    ++state.threads;
    std::string comm;
    std::getline(std::ifstream(entry.path() / "comm"), comm);
    if (comm == kCollectorThreadName) ++state.collectorThreads;
  }
  std::ifstream status(proc / "status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) state.rssKb = std::stoul(line.substr(6));
    if (line.rfind("VmHWM:", 0) == 0) state.hwmKb = std::stoul(line.substr(6));
  }
  for (const auto& entry : fs::directory_iterator(proc / "fd", ec)) {
    state.fds.push_back(entry.path().filename().string() + " -> " +
                        fs::read_symlink(entry.path(), ec).string());
  }
  std::sort(state.fds.begin(), state.fds.end());
  for (pid_t p : otherProcesses()) {
    std::ifstream stat("/proc/" + std::to_string(p) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) continue;
    // pid (comm) state ppid ...: comm may hold anything, so parse from the last ")".
    std::istringstream rest(text.substr(text.rfind(')') + 1));
    std::string procState;
    pid_t ppid = 0;
    rest >> procState >> ppid;
    if (ppid == pid) state.children.push_back(p);
  }
  return state;
}

std::string describe(const ProcessState& state) {
  std::string text = std::to_string(state.threads) + " threads (" +
                     std::to_string(state.collectorThreads) + " collectors); descriptors:";
  for (const std::string& fd : state.fds) text += " [" + fd + "]";
  text += "; children:";
  for (pid_t p : state.children) text += " " + std::to_string(p);
  return text + "; VmRSS " + std::to_string(state.rssKb) + " kB";
}

bool reapOrphans(pid_t keep) {
  bool keptAlive = true;
  for (;;) {
    int status;
    const pid_t p = waitpid(-1, &status, WNOHANG);
    if (p <= 0) return keptAlive;
    if (p == keep) keptAlive = false;
  }
}

::testing::AssertionResult backToIdle(pid_t daemon, const ProcessState& idle) {
  // Generous: the stopped collector reaps its command on its own time, and
  // under emulation that is slow.
  const auto deadline = Clock::now() + std::chrono::seconds(15);
  std::string last;
  while (Clock::now() < deadline) {
    if (!reapOrphans(daemon)) return ::testing::AssertionFailure() << "the daemon died";
    const ProcessState now = processState(daemon);
    const size_t others = otherProcesses().size();
    if (now.collectorThreads == 0 && now.threads >= idle.threads &&
        now.threads <= idle.threads + runtimeThreads && now.fds == idle.fds &&
        now.children.empty() && others == 1) {
      return ::testing::AssertionSuccess();
    }
    last = describe(now) + "; processes in the namespace: " + std::to_string(others);
    nap(10);
  }
  return ::testing::AssertionFailure() << "idle: " << describe(idle) << "\nnow: " << last;
}

std::optional<std::string> ask(const std::string& request) { return UdpClient().ask(request); }

void nap(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string makeSimDir() {
  char tmpl[] = "/tmp/perfprobe-sim-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return "";
  setenv("PERFPROBE_SIM_DIR", tmpl, 1);
  return tmpl;
}

int64_t startSimApp(const std::string& simDir, int64_t agoNs) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const int64_t startNs = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec - agoNs;
  std::ofstream(simDir + "/app") << startNs << "\n";
  return startNs;
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (Clock::now() > deadline) return false;
    nap(10);
  }
}

bool waitForReply(const std::string& request, const std::string& expected,
                  std::chrono::milliseconds timeout) {
  return waitFor([&] { return ask(request) == expected; }, timeout);
}

void DaemonTest::SetUp() {
  clearCpuTree();
  clearDeviceFiles();
}

void DaemonTest::TearDown() { endAllDaemons(); }

void DaemonTest::launch() {
  ASSERT_TRUE(startDaemon());
  const std::vector<pid_t> others = otherProcesses();
  ASSERT_EQ(others.size(), 1u) << "expected the daemon alone";
  daemon_ = others[0];
  idle_ = processState(daemon_);
}

void clearCpuTree() {
  for (const auto& entry : fs::directory_iterator(kCpuDir)) fs::remove_all(entry.path());
}

void clearDeviceFiles() {
  for (const char* dir : {kClassDir, kKernelDir}) {
    for (const auto& entry : fs::directory_iterator(dir)) {
      if (entry.path() != kProcFilesDir) fs::remove_all(entry.path());
    }
  }
  for (const char* path : {kProcStat, kProcMeminfo}) writeDeviceFile(path, "");
}

void writeDeviceFile(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  // In place, never through a new file: a bound file keeps its inode.
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

void writeCpuFile(const std::string& path, const std::string& content) {
  const fs::path full = fs::path(kCpuDir) / path;
  fs::create_directories(full.parent_path());
  std::ofstream(full, std::ios::binary) << content;
}

void addCpu(const std::string& name, const std::string& content) {
  writeCpuFile(name + "/cpufreq/scaling_cur_freq", content);
}

}  // namespace e2e
