#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "dumpsys_double/fixture.h"
#include "protocol.h"
#include "scoped_resource.h"

// Runs the shipped daemon for real: private pid, mount and network
// namespaces, a tmpfs over the CPU directory, loopback only.
namespace e2e {

constexpr char kCpuDir[] = "/sys/devices/system/cpu";
// Inside the namespace these are tmpfs folders of the tests (thermal zones,
// GPUs, the battery), and /proc/stat and /proc/meminfo are files of theirs.
constexpr char kClassDir[] = "/sys/class";
constexpr char kKernelDir[] = "/sys/kernel";
constexpr char kProcStat[] = "/proc/stat";
constexpr char kProcMeminfo[] = "/proc/meminfo";
// Where the files bound over /proc live; clearDeviceFiles leaves it.
constexpr char kProcFilesDir[] = "/sys/kernel/.proc-files";
// Generous, because the AArch64 daemon runs under emulation.
constexpr int kReplyTimeoutMs = 5000;

// The command line that starts the daemon, as given after "--".
extern std::vector<std::string> daemonCommand;

// True when the daemon runs under qemu-user: its process is the emulator's,
// whose memory figures are the emulator's own (qemu-user keeps some 280 kB
// of every guest thread that has ended).
bool daemonEmulated();

// The folder holding the dumpsys test double, put first on PATH for the
// daemon and its commands.
extern std::string dumpsysBinDir;

// The perfprobe client, for the suites that drive the daemon through it.
extern std::string clientPath;

// Threads that a checked build's runtime may add to the daemon once it has
// forked a command (ThreadSanitizer starts a second service thread then);
// 0 for the daemon as it ships.
extern size_t runtimeThreads;

// Brings up loopback in this thread's network namespace.
bool bringUpLoopback(std::string* why);

// Moves this test process into fresh namespaces as their first process:
// every orphan is reparented to it, and its end ends every daemon inside.
// Returns false, saying why, where namespaces are not permitted.
bool enterTestNamespace(std::string* why);

// Runs the daemon command and waits for that launching process to exit.
// Returns its wait status, or -1 when it did not exit in time.
int launchDaemon();
bool waitUntilServing();
// Launches the daemon as a user does: the launcher exits 0, and the
// detached daemon answers.
::testing::AssertionResult startDaemon();

// Waits for any child (a detached daemon is one, once its launcher is gone).
bool waitAnyExit(int timeoutMs, pid_t* pid, int* status);

// Every process of the namespace but this one.
std::vector<pid_t> otherProcesses();

// SIGKILLs every other process of the namespace and reaps them all.
void endAllDaemons();

std::string describeStatus(int status);

class UdpClient {
 public:
  UdpClient();

  void send(const std::string& bytes);
  std::optional<std::string> receive(int timeoutMs);
  std::optional<std::string> ask(const std::string& bytes,
                                 int timeoutMs = kReplyTimeoutMs);

 private:
  ScopedFile fd_;
};

// A request from a fresh client, so that no late reply to an earlier one is
// taken for its answer.
std::optional<std::string> ask(const std::string& request);

void nap(int ms);

// Polls condition every few milliseconds until it holds (true) or timeout
// has passed (false).
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// Asks request until the reply is expected, within timeout.
bool waitForReply(const std::string& request, const std::string& expected,
                  std::chrono::milliseconds timeout);

// The daemon serves one request after another, so once a later probe from
// another client has its reply, a reply to request would already be queued.
::testing::AssertionResult noReplyTo(const std::string& request);

// What a process holds: its threads (and how many of them are collectors),
// its descriptors ("N -> target"), its children, zombies included, and its
// resident memory.
struct ProcessState {
  size_t threads = 0;
  size_t collectorThreads = 0;
  std::vector<std::string> fds;
  std::vector<pid_t> children;
  size_t rssKb = 0;
  size_t hwmKb = 0;
};
ProcessState processState(pid_t pid);
std::string describe(const ProcessState& state);

// Reaps every exited child of this process (orphans of the namespace become
// ours); returns false if one of them was `keep`.
bool reapOrphans(pid_t keep);

// Waits until the daemon holds what it held when idle: no collector thread,
// no other thread beyond the idle ones, the same descriptors, no child or
// zombie, and no other process left in the namespace.
::testing::AssertionResult backToIdle(pid_t daemon, const ProcessState& idle);

// One daemon per test over a fresh CPU tree: SetUp empties the tree, a
// suite's own SetUp fills it and calls launch(), and TearDown ends every
// process of the namespace.
class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts the daemon as a user does and notes what it holds when idle.
  void launch();
  ::testing::AssertionResult backToIdle() const { return e2e::backToIdle(daemon_, idle_); }

  pid_t daemon_ = 0;
  ProcessState idle_;
};

// The simulated device's state: a folder of its own, named to the daemon
// (PERFPROBE_SIM_DIR) before it starts; empty when none could be made.
std::string makeSimDir();
// Records the simulated app as started agoNs ago on the monotonic clock;
// returns its start.
int64_t startSimApp(const std::string& simDir, int64_t agoNs);

// Empties kClassDir and kKernelDir, and /proc/stat and /proc/meminfo.
void clearDeviceFiles();
// Writes a file at an absolute path inside the namespace, folders included:
// a file under kClassDir or kKernelDir, /proc/stat or /proc/meminfo.
void writeDeviceFile(const std::string& path, const std::string& content);

// The CPU tree on the tmpfs.
void clearCpuTree();
void writeCpuFile(const std::string& path, const std::string& content);
void addCpu(const std::string& name, const std::string& content);

}  // namespace e2e
