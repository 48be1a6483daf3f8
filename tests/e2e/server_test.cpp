#include <arpa/inet.h>
#include <errno.h>
#include <limits.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using namespace std::string_literals;
using e2e::noReplyTo;
using e2e::UdpClient;
using e2e::ask;

std::string readLink(const std::string& path) {
  char buf[PATH_MAX];
  const ssize_t n = readlink(path.c_str(), buf, sizeof buf);
  return n < 0 ? "" : std::string(buf, static_cast<size_t>(n));
}

// Every test starts with an empty CPU tree and one daemon, launched the way
// a user launches it; the launching process must exit 0 once detached.
class Daemon : public e2e::DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    launch();
  }
};

TEST_F(Daemon, DetachesFromItsLauncher) {
  const std::string proc = "/proc/" + std::to_string(daemon_);
  EXPECT_EQ(getsid(daemon_), daemon_) << "not a session leader";
  EXPECT_EQ(readLink(proc + "/cwd"), "/");
  for (int fd = 0; fd <= 2; ++fd) {
    EXPECT_EQ(readLink(proc + "/fd/" + std::to_string(fd)), "/dev/null") << "fd " << fd;
  }
}

TEST_F(Daemon, AnswersEachKeywordInTableOrder) {
  e2e::addCpu("cpu0", "1804800\n");
  e2e::addCpu("cpu1", "300000\n");
  // In sequence: the CPU list is empty until an INITIALIZATION request.
  const struct {
    std::string request;
    std::optional<std::string> reply;
  } exchanges[] = {
      {"CONNECT_DAEMON", "success"},
      {"xxCONNECT_DAEMONyy", "success"},
      {"GET_SIMPLE", "cpuFreq"},
      {"GET_FPS", "0"},
      {"START_COLLECT", "success"},
      {"STOP_COLLECT", "success"},
      {"get_simple", std::nullopt},
      {"connect_daemon", std::nullopt},
      {"hello", std::nullopt},
      // Both present: INITIALIZATION comes first in the table, so the CPU
      // list is built, which a stop request would not do.
      {"STOP_COLLECT INITIALIZATION", "success"},
      {"GET_SIMPLE", "cpuFreq:1804800,300000"},
      {"GET_FPS GET_SIMPLE", "cpuFreq:1804800,300000"},
      {"GET_FPSSTART_COLLECT", "0"},
      {"INITIALIZATION", "success"},
      {"\nGET_SIMPLE\n", "cpuFreq:1804800,300000"},
  };
  for (const auto& x : exchanges) {
    if (x.reply) {
      EXPECT_EQ(ask(x.request), x.reply) << "request: " << x.request;
    } else {
      EXPECT_TRUE(noReplyTo(x.request)) << "request: " << x.request;
    }
  }
}

TEST_F(Daemon, TextEndsAtTheFirstZeroByte) {
  EXPECT_EQ(ask("GET_FPS\0CONNECT_DAEMON"s), "0");
  EXPECT_TRUE(noReplyTo("\0CONNECT_DAEMON"s));
  EXPECT_TRUE(noReplyTo("\0\0\0\0"s));
}

TEST_F(Daemon, EmptyOrAbandonedRequestsLeaveItServing) {
  EXPECT_TRUE(noReplyTo(""));
  EXPECT_TRUE(noReplyTo(""));
  // The asker is gone before the reply: the reply meets a closed port.
  for (const char* request : {"CONNECT_DAEMON", "GET_SIMPLE", "GET_FPS"}) {
    UdpClient().send(request);
  }
  EXPECT_EQ(ask("CONNECT_DAEMON"), "success");
}

TEST_F(Daemon, ReadsAtMost1024BytesOfADatagram) {
  const std::string keyword = "CONNECT_DAEMON";
  // Ends exactly at the 1024th byte: whole, and the text has no zero byte.
  EXPECT_EQ(ask(std::string(1024 - keyword.size(), 'x') + keyword), "success");
  // One byte later the keyword is cut by the receive.
  EXPECT_TRUE(noReplyTo(std::string(1025 - keyword.size(), 'x') + keyword));
  EXPECT_TRUE(noReplyTo(std::string(4000, 'x') + keyword));
  // A long datagram is cut, not refused.
  EXPECT_EQ(ask(keyword + std::string(3000, 'x')), "success");
}

TEST_F(Daemon, ReportsTwelveCpusInByteWiseOrder) {
  for (int i = 0; i < 12; ++i) {
    if (i != 4) e2e::addCpu("cpu" + std::to_string(i), std::to_string(1000 + i) + "\n");
  }
  e2e::writeCpuFile("cpu4/online", "0\n");  // no cpufreq folder: "NA"
  e2e::writeCpuFile("cpufreq/policy0/scaling_cur_freq", "5\n");
  e2e::writeCpuFile("cpuidle/current_driver", "none\n");
  e2e::writeCpuFile("online", "0-11\n");
  e2e::writeCpuFile("possible", "0-11\n");
  e2e::addCpu(".cpu7", "6\n");
  e2e::addCpu("xcpu3", "333\n");
  ASSERT_EQ(ask("INITIALIZATION"), "success");
  EXPECT_EQ(ask("GET_SIMPLE"),
            "cpuFreq:1000,1001,1010,1011,1002,1003,NA,1005,1006,1007,1008,1009,333");
}

TEST_F(Daemon, ManyCpusFitOneDatagram) {
  std::vector<std::string> names;
  for (int i = 0; i < 160; ++i) names.push_back("cpu" + std::to_string(i));
  for (const std::string& name : names) e2e::addCpu(name, "2841600\n");
  std::sort(names.begin(), names.end());
  std::string expected = "cpuFreq:";
  for (size_t i = 0; i < names.size(); ++i) expected += (i ? "," : "") + "2841600"s;
  ASSERT_EQ(ask("INITIALIZATION"), "success");
  EXPECT_EQ(ask("GET_SIMPLE"), expected);
}

TEST_F(Daemon, SeesANewCpuOnlyAfterTheNextInitialization) {
  e2e::addCpu("cpu0", "100\n");
  ASSERT_EQ(ask("INITIALIZATION"), "success");
  EXPECT_EQ(ask("GET_SIMPLE"), "cpuFreq:100");
  e2e::addCpu("cpu1", "200\n");
  e2e::addCpu("cpu0", "150\n");
  EXPECT_EQ(ask("GET_SIMPLE"), "cpuFreq:150");
  ASSERT_EQ(ask("INITIALIZATION"), "success");
  EXPECT_EQ(ask("GET_SIMPLE"), "cpuFreq:150,200");
}

// Launches a daemon that cannot bind. The launcher has exited 0 by the time
// the daemon binds, and the daemon's standard error is the null device, so
// its status is all there is to see; the detached daemon is reparented here,
// the namespace's init.
::testing::AssertionResult launchedDaemonEndsWithStatus1() {
  const int launcher = e2e::launchDaemon();
  if (launcher == -1 || !WIFEXITED(launcher) || WEXITSTATUS(launcher) != 0) {
    return ::testing::AssertionFailure() << "launcher " << e2e::describeStatus(launcher);
  }
  pid_t pid = 0;
  int status = 0;
  if (!e2e::waitAnyExit(e2e::kReplyTimeoutMs * 2, &pid, &status)) {
    return ::testing::AssertionFailure() << "the daemon did not end";
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 1) {
    return ::testing::AssertionFailure() << "the daemon " << e2e::describeStatus(status);
  }
  return ::testing::AssertionSuccess();
}

TEST(StartUp, APortTakenByAnotherProgramEndsTheDetachedDaemonWithStatus1) {
  ScopedFile holder(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(kPort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(holder.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0)
      << strerror(errno);
  EXPECT_TRUE(launchedDaemonEndsWithStatus1());
  EXPECT_TRUE(e2e::otherProcesses().empty());
  e2e::endAllDaemons();
}

TEST_F(Daemon, SecondDaemonOnTheTakenPortExitsWithStatus1) {
  EXPECT_TRUE(launchedDaemonEndsWithStatus1());
  EXPECT_EQ(ask("CONNECT_DAEMON"), "success");
  EXPECT_EQ(e2e::otherProcesses().size(), 1u);
}

}  // namespace
