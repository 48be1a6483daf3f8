// What the daemon costs beside the app it measures, against the bare minimum
// for the same work:
//  - round trips of CONNECT_DAEMON, GET_FPS and GET_SIMPLE (8 CPUs) through
//    each daemon and through a minimal UDP echo server, the servers pinned to
//    one CPU and the client to another, interleaved so that a slow moment of
//    the machine falls on all of them alike;
//  - a bare open, read and close of the 8 CPU files on the servers' CPU,
//    which with the echo makes GET_SIMPLE's floor;
//  - each daemon's CPU time per collector tick, two ways: its own threads
//    (schedstat), and it with every command it started (a cgroup around
//    it), against programs that only run the same commands and read their
//    output, directly and through "sh -c"; and its peak resident memory.
//  - with --timestats=LABEL, the same for a second instance of daemon LABEL
//    ("LABEL/ts") on a phone whose listing is empty, which takes the frames
//    from the compositor's time statistics: its listing and a dump of 40
//    layers a tick, against the first instance's CPU in latency mode.
//
// daemon_bench --dumpsys-dir=DIR --echo=PATH --floor=PATH [--rounds=N] [--ticks=N]
//              [--timestats=LABEL] LABEL=DAEMON...
//
// It runs as root in private pid, mount and network namespaces, with a tmpfs
// over the CPU directory and the dumpsys double first on PATH. Every server
// gets a network namespace of its own, so that all of them listen on 8080
// at once, and the client holds a socket in each.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "dumpsys_double/fixture.h"
#include "e2e/harness.h"
#include "scoped_resource.h"
#include "workload.h"

namespace {

namespace fs = std::filesystem;

constexpr int kCpus = 8;
constexpr int kReplyTimeoutMs = 2000;

// The dumpsys double's folders, one per collector, removed on every way out.
std::vector<std::unique_ptr<dumpsys_double::Fixture>> fixtures;

// Removes the fixtures and the cgroups with what runs in them.
void cleanUp();

[[noreturn]] void fail(const std::string& what) {
  fprintf(stderr, "daemon_bench: %s\n", what.c_str());
  cleanUp();
  exit(1);
}

[[noreturn]] void failErrno(const std::string& what) { fail(what + ": " + strerror(errno)); }

double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void sleepUntil(double when) {
  for (double left = when - now(); left > 0; left = when - now()) {
    timespec t = {static_cast<time_t>(left), static_cast<long>((left - static_cast<double>(static_cast<time_t>(left))) * 1e9)};
    nanosleep(&t, nullptr);
  }
}

void pinTo(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  if (sched_setaffinity(0, sizeof set, &set) != 0) failErrno("sched_setaffinity");
}

unsigned long long readNumber(const std::string& path) {
  std::ifstream in(path);
  unsigned long long n = 0;
  in >> n;
  return n;
}

// CPU time of every thread of pid so far, in nanoseconds.
unsigned long long threadsCpuNs(pid_t pid) {
  unsigned long long total = 0;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
    total += readNumber(task.path() / "schedstat");
  }
  return total;
}

// CPU time of a process and of everything it starts, from a cgroup made
// for it alone: cgroup v2's cpu.stat or the v1 cpuacct controller, both to
// the microsecond. Where neither can be made, the process's own threads and
// the children it has reaped, which the kernel gives in clock ticks.
class CpuGroup {
 public:
  // Finds a hierarchy to make groups in; false when there is none.
  static bool findHierarchy() {
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line;
    std::string v1;
    while (std::getline(mounts, line)) {
      std::istringstream in(line);
      std::string field, mountPoint;
      for (int i = 0; i < 5 && in >> field; ++i) {
        if (i == 4) mountPoint = field;
      }
      while (in >> field && field != "-") {
      }
      std::string type, source, options;
      in >> type >> source >> options;
      if (type == "cgroup2" && root.empty() && usable(mountPoint, true)) {
        root = mountPoint;
        v2 = true;
      }
      if (type == "cgroup" && ("," + options + ",").find(",cpuacct,") != std::string::npos && v1.empty() &&
          usable(mountPoint, false)) {
        v1 = mountPoint;
      }
    }
    if (root.empty()) root = v1;
    return !root.empty();
  }

  static std::string source() {
    if (root.empty()) return "the children it reaped, from /proc/PID/stat, to 10 ms";
    return std::string(v2 ? "cgroup v2 cpu.stat" : "cgroup v1 cpuacct.usage") + " under " + root;
  }

  // A new group, or none without a hierarchy.
  CpuGroup() {
    if (root.empty()) return;
    for (int i = 0; i < 1000 && path_.empty(); ++i) {
      const std::string path = root + "/perfprobe-bench-" + runId() + "-" + std::to_string(i);
      if (mkdir(path.c_str(), 0755) == 0) path_ = path;
    }
    if (path_.empty()) failErrno("cannot make a cgroup under " + root);
  }
  ~CpuGroup() { remove(); }
  CpuGroup(const CpuGroup&) = delete;
  CpuGroup& operator=(const CpuGroup&) = delete;

  // Moves the calling process into the group; for a child before its exec.
  bool join() const {
    if (path_.empty()) return true;
    ScopedFile procs(open((path_ + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC));
    return procs && write(procs.get(), "0", 1) == 1;
  }

  // The group's CPU time so far; without a group, pid's and its reaped
  // children's.
  unsigned long long usageNs(pid_t pid) const {
    if (path_.empty()) return threadsCpuNs(pid) + reapedChildrenNs(pid);
    if (!v2) return readNumber(path_ + "/cpuacct.usage");
    std::ifstream stat(path_ + "/cpu.stat");
    std::string key;
    unsigned long long value;
    while (stat >> key >> value) {
      if (key == "usage_usec") return value * 1000;
    }
    fail("no usage_usec in " + path_ + "/cpu.stat");
  }

  // Kills what is left in the group, reaps it and removes the group.
  void remove() {
    if (path_.empty()) return;
    for (int i = 0; i < 500; ++i) {
      std::ifstream procs(path_ + "/cgroup.procs");
      pid_t pid;
      bool empty = true;
      while (procs >> pid) {
        empty = false;
        kill(pid, SIGKILL);
      }
      int status;
      while (waitpid(-1, &status, WNOHANG) > 0) {
      }
      if (empty && rmdir(path_.c_str()) == 0) break;
      usleep(10000);
    }
    path_.clear();
  }

 private:
  // Apart from any other run's: the pid is 1 in our namespace.
  static const std::string& runId() {
    static const std::string id = std::to_string(static_cast<unsigned long long>(now() * 1e6));
    return id;
  }

  static bool usable(const std::string& mountPoint, bool isV2) {
    const std::string probe = mountPoint + "/perfprobe-bench-" + runId() + "-probe";
    if (mkdir(probe.c_str(), 0755) != 0) return false;
    const bool ok = access((probe + (isV2 ? "/cpu.stat" : "/cpuacct.usage")).c_str(), R_OK) == 0;
    rmdir(probe.c_str());
    return ok;
  }

  static unsigned long long reapedChildrenNs(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(in, text);
    // The fields after the command name: state is the 3rd field of the
    // line, cutime and cstime the 16th and 17th.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long cutime = 0, cstime = 0;
    for (int i = 3; i <= 17 && fields >> field; ++i) {
      if (i == 16) cutime = std::stoull(field);
      if (i == 17) cstime = std::stoull(field);
    }
    return (cutime + cstime) * 1000000000ULL / static_cast<unsigned long long>(sysconf(_SC_CLK_TCK));
  }

  static std::string root;
  static bool v2;
  std::string path_;
};

std::string CpuGroup::root;
bool CpuGroup::v2 = false;

std::vector<std::unique_ptr<CpuGroup>> groups;

void cleanUp() {
  groups.clear();
  fixtures.clear();
}

// The CPU tree: kCpus CPUs beside the entries a kernel puts among them.
// Returns the GET_SIMPLE reply; *files gets the frequency files in the order
// the daemon reads them.
std::string makeCpuTree(std::vector<std::string>* files) {
  const std::vector<std::string> freq = workload::cpuFreqFiles(kCpus);
  std::vector<std::string> names;
  for (int i = 0; i < kCpus; ++i) {
    names.push_back("cpu" + std::to_string(i));
    e2e::addCpu(names.back(), freq[i]);
  }
  e2e::writeCpuFile("cpufreq/policy0/scaling_cur_freq", freq[0]);
  e2e::writeCpuFile("cpuidle/current_driver", "psci_idle\n");
  e2e::writeCpuFile("online", "0-7\n");
  e2e::writeCpuFile("possible", "0-7\n");
  std::sort(names.begin(), names.end());
  std::string report = "cpuFreq:";
  for (size_t i = 0; i < names.size(); ++i) {
    files->push_back(std::string(e2e::kCpuDir) + "/" + names[i] + "/cpufreq/scaling_cur_freq");
    const std::string& value = freq[static_cast<size_t>(std::stoi(names[i].substr(3)))];
    report += value.substr(0, value.size() - 1) + (i + 1 < names.size() ? "," : "");
  }
  return report;
}

// The rate the collector must publish for a latency output of whole timing
// lines: the frames of the second after the oldest line's, less the one that
// opens it.
int expectedRate(int fps) {
  std::istringstream in(workload::latencyOutput(fps));
  std::string line;
  std::getline(in, line);
  std::vector<unsigned long long> seconds;
  unsigned long long a, b, c;
  while (in >> a >> b >> c) seconds.push_back(b / 1000000000ULL);
  const unsigned long long first = seconds.front();
  int inNext = 0;
  bool later = false;
  for (unsigned long long s : seconds) {
    if (s == first + 1) ++inNext;
    if (s > first + 1) later = true;
  }
  return later ? inNext - 1 : 0;
}

// A dumpsys double's folder for one collector: the listing and every
// selected layer's latency output. Returns the rate GET_FPS must give.
std::string makeDumpsysFixture(dumpsys_double::Fixture* fixture) {
  fixture->setListing(workload::listing(workload::kLayers, workload::kMatchingLayers));
  const std::vector<std::string> names = workload::matchingNames(workload::kLayers, workload::kMatchingLayers);
  int best = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    const int fps = workload::matchingLayerFps(static_cast<int>(i));
    fixture->setLatency(names[i], workload::latencyOutput(fps));
    best = std::max(best, expectedRate(fps));
  }
  return std::to_string(best);
}

// A dumpsys double's folder for a collector of the time statistics: an
// empty listing, and the dump. The dump stays the same, so every tick after
// the first finds no new frame: its parse costs what a moving one would.
void makeTimeStatsFixture(dumpsys_double::Fixture* fixture) {
  fixture->setListing("");
  fixture->setTimeStats(workload::timeStatsDump(workload::kLayers, workload::kTimeStatsMatching));
}

struct Server {
  std::string label;
  std::string path;
  bool isDaemon = false;
  // A daemon whose collector reads the time statistics.
  bool timeStats = false;
  // The collector's bare minimum: no socket; it collects from its start,
  // started with this option.
  bool isFloor = false;
  std::string floorMode;
  // A collector's, for its CPU time with its commands'.
  const CpuGroup* group = nullptr;
  const dumpsys_double::Fixture* dumpsys = nullptr;
  // A server's arguments after its path.
  std::vector<std::string> args;
  pid_t pid = -1;
  ScopedFile sock;
};

ino_t netnsOf(const std::string& nsPath) {
  struct stat st;
  return stat(nsPath.c_str(), &st) == 0 ? st.st_ino : 0;
}

std::optional<std::string> ask(int sock, const std::string& request, int timeoutMs = kReplyTimeoutMs);

// Starts the server pinned to cpu, in a network namespace of its own with
// loopback up, and connects a client socket to it there.
void launch(Server& s, int cpu, int ownNetns) {
  // The child says it is ready once its namespace exists, and waits for the
  // go until ours holds a handle on that namespace.
  int fds[4];
  if (pipe2(fds, O_CLOEXEC) != 0 || pipe2(fds + 2, O_CLOEXEC) != 0) failErrno("pipe2");
  ScopedFile readyIn(fds[0]), readyOut(fds[1]), goIn(fds[2]), goOut(fds[3]);
  fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) failErrno("fork");
  if (child == 0) {
    pinTo(cpu);
    std::string why;
    if (unshare(CLONE_NEWNET) != 0 || !e2e::bringUpLoopback(&why)) _exit(126);
    if (s.dumpsys != nullptr) setenv("DUMPSYS_DOUBLE_DIR", s.dumpsys->path("").c_str(), 1);
    if (s.group != nullptr && !s.group->join()) _exit(125);
    char c = 'r';
    if (write(readyOut.get(), &c, 1) != 1 || read(goIn.get(), &c, 1) != 1) _exit(126);
    const char* const floorArgv[] = {s.path.c_str(), s.floorMode.c_str(), workload::kPackage, nullptr};
    std::vector<const char*> serverArgv = {s.path.c_str()};
    for (const std::string& arg : s.args) serverArgv.push_back(arg.c_str());
    serverArgv.push_back(nullptr);
    execv(s.path.c_str(), const_cast<char* const*>(s.isFloor ? floorArgv : serverArgv.data()));
    _exit(127);
  }
  readyOut.reset();
  goIn.reset();
  char c;
  if (read(readyIn.get(), &c, 1) != 1) fail("cannot start " + s.label);
  const std::string nsPath = "/proc/" + std::to_string(child) + "/ns/net";
  ScopedFile ns(open(nsPath.c_str(), O_RDONLY | O_CLOEXEC));
  const ino_t nsInode = netnsOf(nsPath);
  if (!ns || write(goOut.get(), &c, 1) != 1) fail("cannot enter the namespace of " + s.label);
  if (s.isFloor) {
    s.pid = child;
    return;
  }

  if (setns(ns.get(), CLONE_NEWNET) != 0) failErrno("setns");
  s.sock.reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (setns(ownNetns, CLONE_NEWNET) != 0) failErrno("setns");
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kPort);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (!s.sock || connect(s.sock.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    failErrno("client socket for " + s.label);
  }

  if (!s.isDaemon) {
    s.pid = child;
  } else {
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      fail(s.label + ": the launcher did not exit 0");
    }
  }
  const double deadline = now() + 20;
  while (ask(s.sock.get(), s.isDaemon ? kConnectDaemon : "ping", 100) !=
         std::optional<std::string>(s.isDaemon ? kSuccess : "ping")) {
    if (now() > deadline) fail(s.label + " does not answer");
  }
  if (!s.isDaemon) return;
  // The detached daemon: our child in that namespace, once its launcher is gone.
  for (const pid_t p : e2e::processState(getpid()).children) {
    if (netnsOf("/proc/" + std::to_string(p) + "/ns/net") == nsInode) s.pid = p;
  }
  if (s.pid < 0) fail("cannot find the process of " + s.label);
}

std::optional<std::string> ask(int sock, const std::string& request, int timeoutMs) {
  // A late reply to an earlier request must not pass for this one's.
  char buf[65536];
  while (recv(sock, buf, sizeof buf, MSG_DONTWAIT) >= 0) {
  }
  if (send(sock, request.data(), request.size(), 0) < 0) return std::nullopt;
  pollfd p = {sock, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) != 1) return std::nullopt;
  const ssize_t n = recv(sock, buf, sizeof buf, 0);
  if (n < 0) return std::nullopt;
  return std::string(buf, static_cast<size_t>(n));
}

// One round trip in microseconds; the reply must be `expected`, byte for byte.
// A reply matches `expected` byte for byte, or, where expected starts with
// kContains, holds each of its lines.
constexpr char kContains[] = "contains:";
bool replyMatches(const std::string& reply, const std::string& expected) {
  if (expected.rfind(kContains, 0) != 0) return reply == expected;
  std::istringstream lines(expected.substr(strlen(kContains)));
  std::string line;
  while (std::getline(lines, line)) {
    if (reply.find(line + "\n") == std::string::npos) return false;
  }
  return true;
}

double roundTripUs(const Server& s, const std::string& request, const std::string& expected) {
  static char buf[65536];
  const double start = now();
  if (send(s.sock.get(), request.data(), request.size(), 0) < 0) failErrno(s.label + ": send");
  pollfd p = {s.sock.get(), POLLIN, 0};
  if (poll(&p, 1, kReplyTimeoutMs) != 1) fail(s.label + ": no reply to " + request);
  const ssize_t n = recv(s.sock.get(), buf, sizeof buf, 0);
  const double end = now();
  if (n < 0 || !replyMatches(std::string(buf, static_cast<size_t>(n)), expected)) {
    fail(s.label + ": wrong reply to " + request + ": " + (n < 0 ? strerror(errno) : std::string(buf, static_cast<size_t>(n))));
  }
  return (end - start) * 1e6;
}

double percentile(std::vector<double> v, double q) {
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1))];
}

// A bare program's reading of the files, in microseconds: an open, one read
// of up to `size` bytes and a close each.
double readFilesUs(const std::vector<std::string>& paths, size_t size = 64) {
  static char buf[16384];
  size = std::min(size, sizeof buf);
  const double start = now();
  for (const std::string& path : paths) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || read(fd, buf, size) <= 0) failErrno(path);
    close(fd);
  }
  return (now() - start) * 1e6;
}

// The phone GET_STATS reads, written where it reads them; returns the
// files it reads, in its order, and *expected the lines its reply must hold.
std::vector<std::string> makePhone(std::string* expected) {
  for (const workload::File& file : workload::phoneFiles(0, 0)) {
    if (file.path.rfind("sys/devices/system/cpu/", 0) == 0) {
      e2e::writeCpuFile(file.path.substr(strlen("sys/devices/system/cpu/")), file.content);
    } else {
      e2e::writeDeviceFile("/" + file.path, file.content);
    }
  }
  std::vector<std::string> reads;
  for (const std::string& path : workload::statsReads(0, false)) reads.push_back("/" + path);
  *expected = std::string(kContains) +
              "cpu7_max_khz 2841600\ncpu7_cluster 7\ngpu_khz 680000\ngpu_max_khz 680000\n"
              "gpu_busy_pct 37.0\ngpu_source kgsl\nbattery_mw -3177\nmem_available_kb 857338\n"
              "temp_conn_therm_c 50.4\n";
  return reads;
}

std::string goal(bool met) { return met ? "met" : "MISSED"; }

}  // namespace

int main(int argc, char** argv) {
  std::string dumpsysDir;
  std::string echoPath;
  std::string floorPath;
  int rounds = 200;
  int ticks = 20;
  std::string timeStatsOf;
  std::vector<Server> servers(1);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--dumpsys-dir=", 0) == 0) {
      dumpsysDir = fs::absolute(arg.substr(14));
    } else if (arg.rfind("--echo=", 0) == 0) {
      echoPath = fs::absolute(arg.substr(7));
    } else if (arg.rfind("--floor=", 0) == 0) {
      floorPath = fs::absolute(arg.substr(8));
    } else if (arg.rfind("--rounds=", 0) == 0) {
      rounds = std::max(1, std::atoi(arg.c_str() + 9));
    } else if (arg.rfind("--ticks=", 0) == 0) {
      ticks = std::max(10, std::atoi(arg.c_str() + 8));
    } else if (arg.rfind("--timestats=", 0) == 0) {
      timeStatsOf = arg.substr(12);
    } else if (arg.find('=') != std::string::npos && arg[0] != '-') {
      Server s;
      s.label = arg.substr(0, arg.find('='));
      s.path = fs::absolute(arg.substr(arg.find('=') + 1));
      s.isDaemon = true;
      servers.push_back(std::move(s));
    } else {
      fail("unknown argument " + arg);
    }
  }
  if (dumpsysDir.empty() || echoPath.empty() || floorPath.empty() || servers.size() < 2) {
    fprintf(stderr,
            "usage: %s --dumpsys-dir=DIR --echo=PATH --floor=PATH [--rounds=N] [--ticks=N] [--timestats=LABEL] "
            "LABEL=DAEMON...\n",
            argv[0]);
    return 2;
  }
  servers[0].label = "echo";
  servers[0].path = echoPath;

  // Read before the CPU tree is replaced: the fixture's "online" is not ours.
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) failErrno("sched_getaffinity");
  std::vector<int> usable;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &allowed)) usable.push_back(cpu);
  }

  const char* path = getenv("PATH");
  setenv("PATH", (dumpsysDir + ":" + (path != nullptr ? path : "/usr/bin:/bin")).c_str(), 1);
  std::string why;
  if (!e2e::enterTestNamespace(&why)) {
    printf("SKIPPED: the benchmark runs the daemon in private pid, mount and network "
           "namespaces, which need root: %s\n", why.c_str());
    return 77;
  }
  // Ctrl-C reaches the outer process; the first process of a pid namespace
  // ignores it, so it goes with its parent instead.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  const bool groupsMade = CpuGroup::findHierarchy();
  std::vector<std::string> cpuFiles;
  const std::string cpuReport = makeCpuTree(&cpuFiles);
  std::string statsExpected;
  const std::vector<std::string> statsFiles = makePhone(&statsExpected);
  // The echo does GET_STATS's bare work before it answers one.
  servers[0].args.push_back(kGetStats);
  servers[0].args.insert(servers[0].args.end(), statsFiles.begin(), statsFiles.end());
  std::string expectedFps;
  for (size_t i = 1; i < servers.size(); ++i) {
    fixtures.push_back(std::make_unique<dumpsys_double::Fixture>());
    servers[i].dumpsys = fixtures.back().get();
    expectedFps = makeDumpsysFixture(fixtures.back().get());
    groups.push_back(std::make_unique<CpuGroup>());
    servers[i].group = groups.back().get();
  }

  // The servers share the last CPU; the client has another to itself.
  const int serverCpu = usable.back();
  const int clientCpu = usable.front();
  pinTo(clientCpu);
  ScopedFile ownNetns(open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
  for (Server& s : servers) launch(s, serverCpu, ownNetns.get());
  for (size_t i = 1; i < servers.size(); ++i) {
    // Builds the CPU list without starting a collection.
    if (ask(servers[i].sock.get(), kInitialization) != std::optional<std::string>(kSuccess)) {
      fail(servers[i].label + ": " + kInitialization + " failed");
    }
  }

  struct Probe {
    const char* text;
    std::string reply;
  };
  // GET_STATS goes padded, as the client sends it; only the daemons that
  // answer it are measured on it (an older revision does not).
  const std::string statsRequest = paddedRequest(kGetStats);
  const std::vector<Probe> requests = {{kConnectDaemon, kSuccess},
                                       {kGetFps, "0"},
                                       {kGetSimple, cpuReport},
                                       {statsRequest.c_str(), statsExpected}};
  constexpr size_t kStats = 3;
  std::vector<bool> knowsStats(servers.size(), true);
  for (size_t i = 1; i < servers.size(); ++i) {
    knowsStats[i] = ask(servers[i].sock.get(), statsRequest, 500).has_value();
  }
  constexpr int kPerRound = 25;
  // samples[request][server]
  std::vector<std::vector<std::vector<double>>> samples(
      requests.size(), std::vector<std::vector<double>>(servers.size()));
  std::vector<double> fileSamples, statsFileSamples;
  for (int round = 0; round < rounds; ++round) {
    for (size_t r = 0; r < requests.size(); ++r) {
      for (size_t k = 0; k < servers.size(); ++k) {
        // A different server goes first in every round.
        const size_t index = (k + static_cast<size_t>(round)) % servers.size();
        const Server& s = servers[index];
        if (r == kStats && !knowsStats[index]) continue;
        const std::string expected = s.isDaemon ? requests[r].reply : requests[r].text;
        for (int i = 0; i < kPerRound; ++i) samples[r][index].push_back(roundTripUs(s, requests[r].text, expected));
      }
    }
    // Where the servers read them.
    pinTo(serverCpu);
    for (int i = 0; i < kPerRound; ++i) fileSamples.push_back(readFilesUs(cpuFiles));
    for (int i = 0; i < kPerRound; ++i) statsFileSamples.push_back(readFilesUs(statsFiles, 16384));
    pinTo(clientCpu);
  }
  std::vector<size_t> idleRssKb(servers.size());
  for (size_t i = 0; i < servers.size(); ++i) idleRssKb[i] = e2e::processState(servers[i].pid).rssKb;

  // GET_SIMPLE's floor: an echo's round trip and a bare program's reading
  // of the same files.
  const double filesMedian = percentile(fileSamples, 0.5);
  const double simpleFloor = percentile(samples[2][0], 0.5) + filesMedian;
  const double statsFilesMedian = percentile(statsFileSamples, 0.5);
  const double statsFloor = percentile(samples[kStats][0], 0.5);
  printf("Round trips, microseconds: median (90th percentile) of %d, interleaved; servers on CPU %d, client on CPU %d\n",
         rounds * kPerRound, serverCpu, clientCpu);
  // One row per server, one column per request: the median (the 90th
  // percentile), and for a daemon its ratio to the floor.
  constexpr double kLimit = 1.1;
  std::vector<double> floorUs;
  printf("%-16s", "server");
  for (size_t r = 0; r < requests.size(); ++r) {
    floorUs.push_back(r == 2 ? simpleFloor : percentile(samples[r][0], 0.5));
    const std::string name = r == kStats ? std::string(kGetStats) + "/phone"
                                         : requests[r].text + std::string(r == 2 ? "/8cpu" : "");
    printf(" %-30s", name.c_str());
  }
  printf("\n%-16s", "floor");
  for (const double us : floorUs) printf(" %-30.1f", us);
  printf("\n");
  for (size_t i = 0; i < servers.size(); ++i) {
    printf("%-16s", servers[i].label.c_str());
    for (size_t r = 0; r < requests.size(); ++r) {
      const double median = percentile(samples[r][i], 0.5);
      char cell[64];
      if (samples[r][i].empty()) {
        snprintf(cell, sizeof cell, "-");
      } else if (servers[i].isDaemon) {
        snprintf(cell, sizeof cell, "%.1f (%.1f) x%.2f %s", median, percentile(samples[r][i], 0.9),
                 median / floorUs[r], goal(median / floorUs[r] <= kLimit).c_str());
      } else {
        snprintf(cell, sizeof cell, "%.1f (%.1f)", median, percentile(samples[r][i], 0.9));
      }
      printf(" %-30s", cell);
    }
    printf("\n");
  }
  printf("Goal: at most %.1f x the floor. ", kLimit);
  printf("The floor is the echo's round trip; for %s, plus a bare open, read and close of the %d files,\n"
         "%.1f us (90th percentile %.1f)\n", kGetSimple, kCpus, filesMedian, percentile(fileSamples, 0.9));
  printf("For %s (padded), the echo first opens, reads and closes the %zu files the daemon reads of a phone\n"
         "of 8 CPUs, 40 zones, a GPU and a battery, between the same requests as the daemon's: %.1f us in all;\n"
         "the same files read in a row, %.1f us (90th percentile %.1f)\n",
         kGetStats, statsFiles.size(), statsFloor, statsFilesMedian, percentile(statsFileSamples, 0.9));

  // The time statistics' collector: the same daemon again, on a phone of
  // its own, which answered no round trip, so its idle memory is as started.
  size_t latencyOf = 0;
  size_t timeStatsServer = 0;
  if (!timeStatsOf.empty()) {
    for (size_t i = 1; i < servers.size(); ++i) {
      if (servers[i].label == timeStatsOf) latencyOf = i;
    }
    if (latencyOf == 0) fail("--timestats=" + timeStatsOf + ": no daemon of that label");
    Server s;
    s.label = timeStatsOf + "/ts";
    s.path = servers[latencyOf].path;
    s.isDaemon = true;
    s.timeStats = true;
    fixtures.push_back(std::make_unique<dumpsys_double::Fixture>());
    s.dumpsys = fixtures.back().get();
    makeTimeStatsFixture(fixtures.back().get());
    groups.push_back(std::make_unique<CpuGroup>());
    s.group = groups.back().get();
    servers.push_back(std::move(s));
    timeStatsServer = servers.size() - 1;
    launch(servers[timeStatsServer], serverCpu, ownNetns.get());
    if (ask(servers[timeStatsServer].sock.get(), kInitialization) != std::optional<std::string>(kSuccess)) {
      fail(servers[timeStatsServer].label + ": " + kInitialization + " failed");
    }
    idleRssKb.push_back(e2e::processState(servers[timeStatsServer].pid).rssKb);
  }

  // Collections: the bare minimums and every daemon collect at once, their
  // ticks spread over the second, and each is measured just before two of
  // its own ticks, when the one before has long ended.
  std::vector<size_t> collectors;
  for (const char* mode : {"--direct", "--shell"}) {
    Server floor;
    floor.label = std::string("bare, ") + (mode == std::string("--direct") ? "direct" : "sh -c");
    floor.path = floorPath;
    floor.isFloor = true;
    floor.floorMode = mode;
    fixtures.push_back(std::make_unique<dumpsys_double::Fixture>());
    floor.dumpsys = fixtures.back().get();
    makeDumpsysFixture(fixtures.back().get());
    groups.push_back(std::make_unique<CpuGroup>());
    floor.group = groups.back().get();
    servers.push_back(std::move(floor));
    collectors.push_back(servers.size() - 1);
  }
  const size_t directFloor = collectors[0];
  const size_t shellFloor = collectors[1];
  for (size_t i = 1; i < servers.size(); ++i) {
    if (servers[i].isDaemon) collectors.push_back(i);
  }

  const double spacing = 1.0 / static_cast<double>(collectors.size());
  std::vector<double> started(servers.size());
  const std::string start = kInitialization + (":" + std::string(workload::kPackage));
  const double first = now();
  for (size_t k = 0; k < collectors.size(); ++k) {
    Server& s = servers[collectors[k]];
    sleepUntil(first + spacing * static_cast<double>(k));
    started[collectors[k]] = now();
    if (s.isFloor) {
      launch(s, serverCpu, ownNetns.get());
    } else if (ask(s.sock.get(), start) != std::optional<std::string>("success")) {
      fail(s.label + ": " + start);
    }
  }
  constexpr int kWarmUpTicks = 2;
  std::vector<unsigned long long> ownBefore(servers.size()), ownAfter(servers.size());
  std::vector<unsigned long long> wholeBefore(servers.size()), wholeAfter(servers.size());
  std::vector<size_t> callsBefore(servers.size()), callsAfter(servers.size());
  std::vector<size_t> hwmKb(servers.size()), rssKb(servers.size());
  for (int pass = 0; pass < 2; ++pass) {
    const int tick = kWarmUpTicks + (pass == 0 ? 0 : ticks);
    for (const size_t i : collectors) {
      sleepUntil(started[i] + tick - 0.1);
      (pass == 0 ? ownBefore : ownAfter)[i] = threadsCpuNs(servers[i].pid);
      (pass == 0 ? wholeBefore : wholeAfter)[i] = servers[i].group->usageNs(servers[i].pid);
      (pass == 0 ? callsBefore : callsAfter)[i] = servers[i].dumpsys->calls().size();
      const e2e::ProcessState state = e2e::processState(servers[i].pid);
      hwmKb[i] = state.hwmKb;
      rssKb[i] = state.rssKb;
    }
  }
  for (const size_t i : collectors) {
    // A tick of the time statistics: the listing and the dump, after the
    // collection's one "-enable".
    const size_t callsPerTick = servers[i].timeStats ? 2 : 1 + workload::kMatchingLayers;
    const size_t callsFirst = servers[i].timeStats ? 1 : 0;
    if (callsAfter[i] - callsBefore[i] != callsPerTick * static_cast<size_t>(ticks) ||
        callsBefore[i] < callsFirst || (callsBefore[i] - callsFirst) % callsPerTick != 0) {
      fail(servers[i].label + ": " + std::to_string(callsAfter[i] - callsBefore[i]) +
           " commands in the measured ticks, not " + std::to_string(callsPerTick * static_cast<size_t>(ticks)) +
           " (a tick lasted most of a second: is the machine busy?)");
    }
  }
  const auto msPerTick = [&](const std::vector<unsigned long long>& before, const std::vector<unsigned long long>& after,
                             size_t i) { return static_cast<double>(after[i] - before[i]) / 1e6 / ticks; };
  const double directOwn = msPerTick(ownBefore, ownAfter, directFloor);
  const double directWhole = msPerTick(wholeBefore, wholeAfter, directFloor);
  const double shellWhole = msPerTick(wholeBefore, wholeAfter, shellFloor);
  constexpr double kOwnLimit = 1.1;
  constexpr double kWholeLimit = 1.05;
  constexpr size_t kHwmLimitKb = 1024;

  printf("\nCollector: %d layers, %d matching, %d timing lines each; CPU per tick over %d ticks after %d "
         "to warm up\n", workload::kLayers, workload::kMatchingLayers, workload::kTimingLines, ticks, kWarmUpTicks);
  printf("  own: the collector's threads (schedstat), against the direct bare minimum's\n");
  printf("  whole: the collector and every command it started (%s),\n"
         "         against the direct bare minimum's and the sh -c one's\n", CpuGroup::source().c_str());
  printf("%-16s %-10s %-17s %-10s %-18s %-9s %-20s %-10s %s\n", "collector", "own", "x bare (goal)", "whole",
         "x direct (goal)", "x sh -c", "VmHWM (goal)", "VmRSS", "VmRSS idle");
  for (const size_t i : collectors) {
    const Server& s = servers[i];
    const double own = msPerTick(ownBefore, ownAfter, i);
    const double whole = msPerTick(wholeBefore, wholeAfter, i);
    char ownCell[32], ownRatio[48], wholeCell[32], wholeRatio[48], shellRatio[16], hwm[48], rss[32], idle[32];
    snprintf(ownCell, sizeof ownCell, "%.3f ms", own);
    snprintf(wholeCell, sizeof wholeCell, "%.2f ms", whole);
    snprintf(shellRatio, sizeof shellRatio, "%.2f", whole / shellWhole);
    snprintf(rss, sizeof rss, "%zu kB", rssKb[i]);
    if (s.timeStats) {
      // Its commands are not the floors': it is measured against the same
      // daemon in latency mode, below.
      snprintf(ownRatio, sizeof ownRatio, "-");
      snprintf(wholeRatio, sizeof wholeRatio, "-");
      snprintf(shellRatio, sizeof shellRatio, "-");
      snprintf(hwm, sizeof hwm, "%zu kB (%zu %s)", hwmKb[i], kHwmLimitKb, goal(hwmKb[i] <= kHwmLimitKb).c_str());
      snprintf(idle, sizeof idle, "%zu kB", idleRssKb[i]);
    } else if (s.isFloor) {
      snprintf(ownRatio, sizeof ownRatio, "%.2f", own / directOwn);
      snprintf(wholeRatio, sizeof wholeRatio, "%.2f", whole / directWhole);
      snprintf(hwm, sizeof hwm, "%zu kB", hwmKb[i]);
      snprintf(idle, sizeof idle, "-");
    } else {
      snprintf(ownRatio, sizeof ownRatio, "%.2f (%.1f %s)", own / directOwn, kOwnLimit,
               goal(own / directOwn <= kOwnLimit).c_str());
      snprintf(wholeRatio, sizeof wholeRatio, "%.3f (%.2f %s)", whole / directWhole, kWholeLimit,
               goal(whole / directWhole <= kWholeLimit).c_str());
      snprintf(hwm, sizeof hwm, "%zu kB (%zu %s)", hwmKb[i], kHwmLimitKb, goal(hwmKb[i] <= kHwmLimitKb).c_str());
      snprintf(idle, sizeof idle, "%zu kB", idleRssKb[i]);
    }
    printf("%-16s %-10s %-17s %-10s %-18s %-9s %-20s %-10s %s\n", s.label.c_str(), ownCell, ownRatio, wholeCell,
           wholeRatio, shellRatio, hwm, rss, idle);
  }
  if (timeStatsServer != 0) {
    const double own = msPerTick(ownBefore, ownAfter, timeStatsServer);
    const double latencyOwn = msPerTick(ownBefore, ownAfter, latencyOf);
    const double whole = msPerTick(wholeBefore, wholeAfter, timeStatsServer);
    const double latencyWhole = msPerTick(wholeBefore, wholeAfter, latencyOf);
    constexpr double kTimeStatsLimit = 1.1;
    printf("%s: %s on a phone that lists no layer: a tick runs the listing and reads the time\n"
           "  statistics of %d layers (%zu bytes), 2 commands against %d. Against %s in latency mode:\n"
           "  own x%.2f (goal %.1f %s), whole x%.2f; VmHWM %zu kB against %zu kB\n",
           servers[timeStatsServer].label.c_str(), timeStatsOf.c_str(), workload::kLayers,
           workload::timeStatsDump(workload::kLayers, workload::kTimeStatsMatching).size(),
           1 + workload::kMatchingLayers, timeStatsOf.c_str(),
           own / latencyOwn, kTimeStatsLimit, goal(own / latencyOwn <= kTimeStatsLimit).c_str(), whole / latencyWhole,
           hwmKb[timeStatsServer], hwmKb[latencyOf]);
  }
  if (!groupsMade) {
    printf("No cgroup could be made here, so \"whole\" counts reaped children in clock ticks: "
           "run more --ticks for a finer figure.\n");
  }
  for (const size_t i : collectors) {
    if (servers[i].isFloor || servers[i].timeStats) continue;
    const std::optional<std::string> fps = ask(servers[i].sock.get(), kGetFps);
    if (fps != std::optional<std::string>(expectedFps)) {
      fail(servers[i].label + ": " + kGetFps + " gave " + fps.value_or("no reply") + ", not " + expectedFps);
    }
  }
  printf("Every reply was exact; %s after the ticks: %s\n", kGetFps, expectedFps.c_str());
  if (timeStatsServer != 0) {
    // No counter moved since the first dump: no frame, from the package's
    // first layer in the dump, which a tie goes to.
    const Server& s = servers[timeStatsServer];
    const std::optional<std::string> fps = ask(s.sock.get(), kGetFps);
    const std::optional<std::string> stats = ask(s.sock.get(), kGetFrameStats);
    const std::string expected = std::string(kContains) + "state collecting\nfps 0.0\nframes 0\nlayer " +
                                 workload::timeStatsGameLayer() + "\nsource timestats\n";
    if (fps != std::optional<std::string>("0") || !stats || !replyMatches(*stats, expected)) {
      fail(s.label + ": " + kGetFps + " gave " + fps.value_or("no reply") + ", not 0, and " + kGetFrameStats +
           " gave\n" + stats.value_or("no reply") + "\nnot with every line of\n" + expected);
    }
    printf("%s: %s 0, and %s no frame from the game's SurfaceView: the dump stays the same\n", s.label.c_str(),
           kGetFps, kGetFrameStats);
  }
  cleanUp();
  return 0;
}
