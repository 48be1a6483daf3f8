// The exporter: its arguments, its page, and a poll of a live and a silent
// device.
#include "exporter.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "metrics.h"
#include "protocol.h"
#include "scoped_resource.h"

namespace perfprobe {
namespace {

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

// Every sample line of a page, by its series (name and labels).
std::map<std::string, std::string> seriesOf(const std::string& page) {
  std::map<std::string, std::string> series;
  std::istringstream in(page);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t space = line.rfind(' ');
    EXPECT_TRUE(series.emplace(line.substr(0, space), line.substr(space + 1)).second)
        << "twice: " << line;
  }
  return series;
}

const char kStats[] =
    "uptime_ms 5230114\n"
    "cpu_load_pct 41.3\n"
    "cpu0_load_pct 12.3\ncpu1_load_pct NA\n"
    "cpu0_khz 1804800\ncpu1_khz NA\n"
    "cpu0_max_khz 1804800\ncpu1_max_khz 2419200\n"
    "cpu0_cluster 0\ncpu1_cluster NA\n"
    "gpu_khz 220000\ngpu_max_khz NA\ngpu_busy_pct 7.5\ngpu_source kgsl\n"
    "battery_pct 80\nbattery_status Not charging\nbattery_mv 4028\nbattery_ma -180\n"
    "battery_mw -725\nbattery_temp_c 30.2\n"
    "mem_available_kb 3345007\n"
    "app_pids NA\napp_threads NA\napp_rss_kb NA\napp_cpu_pct NA\n"
    "probe_cpu_pct 0.3\nprobe_rss_kb 1020\n"
    "temp_cpu_0_0_c 45.2\ntemp_skin\"x_c -3.5\n";

TEST(ExporterPage, ConvertsToBaseUnitsAndLeavesOutWhatIsUnknown) {
  Samples samples;
  renderRequests(deviceLabel("pixel"), true, RequestCounts(), &samples);
  renderStats(deviceLabel("pixel"), *parseDeviceStats(kStats), &samples);
  FrameStats frames = *parseFrameStats(
      "state collecting\nfps 59.9\nframes 60\nwindow_ms 1002\nframe_ms_p50 16.67\n"
      "frame_ms_p95 33.33\nframe_ms_max 50.1\njank 2\nbig_jank 1\nmissed_vsyncs 3\n"
      "refresh_hz 120.0\nlayer SurfaceView[com.example.game]#0\njank_ms 16.7\n");
  renderFrames(deviceLabel("pixel"), frames, &samples);
  const auto series = seriesOf(exposition({&samples}));
  const std::map<std::string, std::string> expected = {
      {"perfprobe_up{device=\"pixel\"}", "1"},
      {"perfprobe_device_uptime_seconds{device=\"pixel\"}", "5230.114"},
      {"perfprobe_device_cpu_load_ratio{device=\"pixel\"}", "0.413"},
      {"perfprobe_cpu_load_ratio{device=\"pixel\",cpu=\"0\"}", "0.123"},
      {"perfprobe_cpu_frequency_hertz{device=\"pixel\",cpu=\"0\",cluster=\"0\"}", "1804800000"},
      {"perfprobe_cpu_max_frequency_hertz{device=\"pixel\",cpu=\"0\",cluster=\"0\"}", "1804800000"},
      {"perfprobe_cpu_max_frequency_hertz{device=\"pixel\",cpu=\"1\"}", "2419200000"},
      {"perfprobe_gpu_frequency_hertz{device=\"pixel\"}", "220000000"},
      {"perfprobe_gpu_busy_ratio{device=\"pixel\"}", "0.075"},
      {"perfprobe_gpu_info{device=\"pixel\",source=\"kgsl\"}", "1"},
      {"perfprobe_battery_level_ratio{device=\"pixel\"}", "0.8"},
      {"perfprobe_battery_info{device=\"pixel\",status=\"Not charging\"}", "1"},
      {"perfprobe_battery_voltage_volts{device=\"pixel\"}", "4.028"},
      {"perfprobe_battery_current_amperes{device=\"pixel\"}", "-0.18"},
      {"perfprobe_battery_power_watts{device=\"pixel\"}", "-0.725"},
      {"perfprobe_battery_temperature_celsius{device=\"pixel\"}", "30.2"},
      {"perfprobe_memory_available_bytes{device=\"pixel\"}", "3425287168"},
      {"perfprobe_daemon_cpu_ratio{device=\"pixel\"}", "0.003"},
      {"perfprobe_daemon_resident_memory_bytes{device=\"pixel\"}", "1044480"},
      {"perfprobe_temperature_celsius{device=\"pixel\",zone=\"cpu_0_0\"}", "45.2"},
      {"perfprobe_temperature_celsius{device=\"pixel\",zone=\"skin\\\"x\"}", "-3.5"},
      {"perfprobe_frame_rate_hertz{device=\"pixel\"}", "59.9"},
      {"perfprobe_frames{device=\"pixel\"}", "60"},
      {"perfprobe_frame_window_seconds{device=\"pixel\"}", "1.002"},
      {"perfprobe_frame_time_p50_seconds{device=\"pixel\"}", "0.01667"},
      {"perfprobe_frame_time_p95_seconds{device=\"pixel\"}", "0.03333"},
      {"perfprobe_frame_time_max_seconds{device=\"pixel\"}", "0.0501"},
      {"perfprobe_jank_frames{device=\"pixel\"}", "2"},
      {"perfprobe_big_jank_frames{device=\"pixel\"}", "1"},
      {"perfprobe_missed_vsyncs{device=\"pixel\"}", "3"},
      {"perfprobe_jank_seconds{device=\"pixel\"}", "0.0167"},
      {"perfprobe_refresh_rate_hertz{device=\"pixel\"}", "120"},
      {"perfprobe_collection_info{device=\"pixel\",state=\"collecting\"}", "1"},
  };
  for (const auto& [name, value] : expected) {
    const auto it = series.find(name);
    ASSERT_NE(it, series.end()) << name;
    EXPECT_EQ(it->second, value) << name;
  }
  // NA has no sample: no CPU 1 clock or load, no GPU cap, no app.
  for (const auto& [name, value] : series) {
    EXPECT_EQ(name.find("cpu=\"1\",cluster"), std::string::npos) << name;
    EXPECT_NE(name.rfind("perfprobe_cpu_load_ratio{device=\"pixel\",cpu=\"1\"", 0), 0u) << name;
    EXPECT_NE(name.rfind("perfprobe_gpu_max", 0), 0u) << name;
    EXPECT_NE(name.rfind("perfprobe_app_", 0), 0u) << name;
  }
}

TEST(ExporterPage, EachFamilyOnceWithEveryDeviceTogether) {
  RequestCounts counts;
  for (double s : {0.0005, 0.003, 0.003, 0.2, 7.0}) counts.observe(s);
  counts.requests = 6;
  counts.failures = 1;
  Samples a, b;
  renderRequests(deviceLabel("a"), true, counts, &a);
  renderStats(deviceLabel("a"), *parseDeviceStats(kStats), &a);
  renderRequests(deviceLabel("b\\\n"), false, RequestCounts(), &b);
  const std::string page = exposition({&a, &b});
  // One HELP and TYPE per family, and every sample of a family after its
  // own TYPE line and before the next family's.
  std::istringstream in(page);
  std::string line, family;
  std::map<std::string, int> typed;
  while (std::getline(in, line)) {
    if (line.rfind("# TYPE ", 0) == 0) {
      family = line.substr(7, line.find(' ', 7) - 7);
      ++typed[family];
      continue;
    }
    if (line[0] == '#') continue;
    EXPECT_EQ(line.rfind(family, 0), 0u) << line << " under " << family;
  }
  for (const auto& [name, n] : typed) EXPECT_EQ(n, 1) << name;
  const auto series = seriesOf(page);
  EXPECT_EQ(series.at("perfprobe_up{device=\"b\\\\\\n\"}"), "0");
  // Cumulative buckets; +Inf equals the count.
  const std::string h = "perfprobe_request_duration_seconds";
  EXPECT_EQ(series.at(h + "_bucket{device=\"a\",le=\"0.001\"}"), "1");
  EXPECT_EQ(series.at(h + "_bucket{device=\"a\",le=\"0.005\"}"), "3");
  EXPECT_EQ(series.at(h + "_bucket{device=\"a\",le=\"0.25\"}"), "4");
  EXPECT_EQ(series.at(h + "_bucket{device=\"a\",le=\"2.5\"}"), "4");
  EXPECT_EQ(series.at(h + "_bucket{device=\"a\",le=\"+Inf\"}"), "5");
  EXPECT_EQ(series.at(h + "_count{device=\"a\"}"), "5");
  EXPECT_EQ(series.at(h + "_sum{device=\"a\"}"), "7.2065");
  EXPECT_EQ(series.at("perfprobe_requests_total{device=\"a\"}"), "6");
  EXPECT_EQ(series.at("perfprobe_request_failures_total{device=\"a\"}"), "1");
  // A device that is down has its request figures only.
  for (const auto& [name, value] : series) {
    if (name.find("device=\"b") == std::string::npos) continue;
    EXPECT_TRUE(name.rfind("perfprobe_up", 0) == 0 || name.rfind("perfprobe_request", 0) == 0)
        << name;
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
      sendto(fd_.get(), kStats, sizeof kStats - 1, 0, reinterpret_cast<sockaddr*>(&from), len);
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
  // The silent one had every try, and no more.
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
