#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "scoped_resource.h"

// Runs the shipped daemon for real: private pid, mount and network
// namespaces, a tmpfs over the CPU directory, loopback only.
namespace e2e {

constexpr char kCpuDir[] = "/sys/devices/system/cpu";
constexpr int kPort = 8080;
// Generous, because the AArch64 daemon runs under emulation.
constexpr int kReplyTimeoutMs = 5000;

// The command line that starts the daemon, as given after "--".
extern std::vector<std::string> daemonCommand;

// Moves this test process into fresh namespaces as their first process:
// every orphan is reparented to it, and its end ends every daemon inside.
// Returns false, saying why, where namespaces are not permitted.
bool enterTestNamespace(std::string* why);

// Runs the daemon command and waits for that launching process to exit.
// Returns its wait status, or -1 when it did not exit in time.
int launchDaemon();
bool waitUntilServing();

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

// The daemon serves one request after another, so once a later probe from
// another client has its reply, a reply to request would already be queued.
::testing::AssertionResult noReplyTo(const std::string& request);

// The CPU tree on the tmpfs.
void clearCpuTree();
void writeCpuFile(const std::string& path, const std::string& content);
void addCpu(const std::string& name, const std::string& content);

}  // namespace e2e
