// The exporter: its arguments, and a poll of a live and a silent device.
#include "exporter.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <thread>

#include "client_fixture.h"
#include "protocol.h"
#include "scoped_resource.h"

namespace perfprobe {
namespace {

using fixture::seriesOf;

TEST(ExporterArguments, Devices) {
  const struct {
    std::string given;
    std::optional<Target> target;
  } cases[] = {
      {"pixel=10.0.0.2", Target{"pixel", "10.0.0.2", 8080, std::nullopt}},
      {"pixel=10.0.0.2:9000", Target{"pixel", "10.0.0.2", 9000, std::nullopt}},
      {"lab 3=phone.lan", Target{"lab 3", "phone.lan", 8080, std::nullopt}},
      {"v6=[fe80::1]:9000", Target{"v6", "fe80::1", 9000, std::nullopt}},
      {"v6=fe80::1", Target{"v6", "fe80::1", 8080, std::nullopt}},
      {"usb=adb:R58N12ABC", Target{"usb", "", 8080, std::string("R58N12ABC")}},
      {"usb=adb:192.168.1.20:5555", Target{"usb", "", 8080, std::string("192.168.1.20:5555")}},
      {"pixel", std::nullopt},
      {"=10.0.0.2", std::nullopt},
      {"pixel=", std::nullopt},
      {"pixel=10.0.0.2:0", std::nullopt},
      {"pixel=10.0.0.2:65536", std::nullopt},
      {"pixel=10.0.0.2:80x", std::nullopt},
      {"usb=adb:", std::nullopt},
      {"v6=[fe80::1", std::nullopt},
  };
  for (const auto& c : cases) {
    std::string why;
    const auto got = parseTarget(c.given, kPort, &why);
    EXPECT_EQ(got, c.target) << c.given;
    if (!c.target) {
      EXPECT_NE(why.find(c.given), std::string::npos) << why;
    }
  }
}

TEST(ExporterArguments, Listen) {
  const struct {
    std::string given;
    std::string host;
    int port;  // 0: refused
  } cases[] = {
      {"127.0.0.1:9464", "127.0.0.1", 9464},
      {":9464", "0.0.0.0", 9464},
      {"[::1]:9464", "::1", 9464},
      {"127.0.0.1", "", 0},
      {"127.0.0.1:", "", 0},
      {"host:99999", "", 0},
  };
  for (const auto& c : cases) {
    std::string host, why;
    int port = 0;
    const bool ok = parseListen(c.given, &host, &port, &why);
    EXPECT_EQ(ok, c.port != 0) << c.given;
    if (ok) {
      EXPECT_EQ(host, c.host);
      EXPECT_EQ(port, c.port);
    }
  }
}

// A daemon on loopback that answers GET_STATS, and drops the first
// `dropFirst` datagrams, as a lossy network does.
class FakeDaemon {
 public:
  explicit FakeDaemon(int dropFirst) : dropFirst_(dropFirst) {
    fd_.reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeDaemon() {
    stop_ = true;
    thread_.join();
  }
  int port() const { return port_; }
  int received() const { return received_; }

 private:
  void serve() {
    char buf[2048];
    while (!stop_) {
      pollfd pfd{fd_.get(), POLLIN, 0};
      if (poll(&pfd, 1, 20) <= 0) continue;
      sockaddr_in from{};
      socklen_t len = sizeof from;
      const ssize_t n =
          recvfrom(fd_.get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n <= 0 || ++received_ <= dropFirst_) continue;
      if (std::string(buf, static_cast<size_t>(n)).find(kGetStats) == std::string::npos) continue;
      sendto(fd_.get(), fixture::kExporterStats, sizeof fixture::kExporterStats - 1, 0,
             reinterpret_cast<sockaddr*>(&from), len);
    }
  }

  ScopedFile fd_;
  int port_ = 0;
  int dropFirst_;
  std::atomic<int> received_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(ExporterPoll, ALiveDeviceIsUpThroughLossAndASilentOneIsDown) {
  FakeDaemon lossy(1);
  // A bound socket that never answers.
  FakeDaemon silent(1 << 30);
  ExporterOptions options;
  options.targets = {{"lossy", "127.0.0.1", lossy.port(), std::nullopt},
                     {"silent", "127.0.0.1", silent.port(), std::nullopt}};
  options.intervalS = 10;
  options.timeoutMs = 200;
  options.retries = 2;
  Poller poller(options);
  poller.poll();
  auto series = seriesOf(*poller.page());
  EXPECT_EQ(series.at("perfprobe_up{device=\"lossy\"}"), "1");
  EXPECT_EQ(series.at("perfprobe_cpu_frequency_hertz{device=\"lossy\",cpu=\"0\",cluster=\"0\"}"),
            "1804800000");
  EXPECT_EQ(series.at("perfprobe_up{device=\"silent\"}"), "0");
  EXPECT_EQ(series.count("perfprobe_device_uptime_seconds{device=\"silent\"}"), 0u);
  // The silent one had every try, and no more: the last reaches it
  // however late its thread runs.
  for (int i = 0; i < 500 && silent.received() < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(silent.received(), 3);
  EXPECT_EQ(series.at("perfprobe_request_failures_total{device=\"silent\"}"), "1");
  EXPECT_EQ(series.at("perfprobe_request_failures_total{device=\"lossy\"}"), "0");
  poller.poll();
  series = seriesOf(*poller.page());
  EXPECT_EQ(series.at("perfprobe_requests_total{device=\"silent\"}"), "2");
  EXPECT_EQ(series.at("perfprobe_request_duration_seconds_count{device=\"lossy\"}"), "2");
}

}  // namespace
}  // namespace perfprobe
