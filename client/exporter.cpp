#include "exporter.h"

#include <httplib.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <thread>

#include "device_stats.h"
#include "html_report.h"
#include "relay.h"
#include "replies.h"

namespace perfprobe {

namespace {

using Clock = std::chrono::steady_clock;

// How soon a device whose link could not be made (adb without it, a name
// that does not resolve) is tried again.
constexpr std::chrono::seconds kLinkRetry(5);
// A try shorter than this would give up on a phone whose Wi-Fi is asleep.
constexpr int kShortestTryMs = 100;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

bool parsePort(const std::string& text, int* port) {
  if (text.empty() || text.size() > 5 || !allDigits(text)) return false;
  *port = std::stoi(text);
  return *port >= 1 && *port <= 65535;
}

// HOST[:PORT] or [V6]:PORT.
bool splitHostPort(const std::string& given, std::string* host, int* port) {
  if (!given.empty() && given[0] == '[') {
    const size_t close = given.find(']');
    if (close == std::string::npos) return false;
    *host = given.substr(1, close - 1);
    if (close + 1 == given.size()) return !host->empty();
    return given[close + 1] == ':' && parsePort(given.substr(close + 2), port) && !host->empty();
  }
  const size_t colon = given.rfind(':');
  if (colon == std::string::npos || given.find(':') != colon) {
    // A bare IPv6 address has colons of its own and no port.
    *host = given;
    return !host->empty();
  }
  *host = given.substr(0, colon);
  return parsePort(given.substr(colon + 1), port);
}

}  // namespace

std::optional<Target> parseTarget(const std::string& given, int defaultPort, std::string* why) {
  const size_t equals = given.find('=');
  if (equals == std::string::npos || equals == 0 || equals + 1 == given.size()) {
    *why = "--device " + given + ": give NAME=HOST[:PORT] or NAME=adb:SERIAL";
    return std::nullopt;
  }
  Target target;
  target.name = given.substr(0, equals);
  target.port = defaultPort;
  const std::string where = given.substr(equals + 1);
  if (where.rfind("adb:", 0) == 0) {
    if (where.size() == 4) {
      *why = "--device " + given + ": adb: needs the device's serial (adb devices lists them)";
      return std::nullopt;
    }
    target.adbSerial = where.substr(4);
    return target;
  }
  if (!splitHostPort(where, &target.host, &target.port)) {
    *why = "--device " + given + ": \"" + where + "\" is not HOST[:PORT] (a port is 1 to 65535)";
    return std::nullopt;
  }
  return target;
}

bool parseListen(const std::string& given, std::string* host, int* port, std::string* why) {
  *port = 0;
  if (!given.empty() && given[0] == ':') {
    *host = "0.0.0.0";
    if (parsePort(given.substr(1), port)) return true;
  } else if (splitHostPort(given, host, port) && *port != 0) {
    return true;
  }
  *why = "--listen " + given + ": give ADDR:PORT (127.0.0.1:9464, 0.0.0.0:9464, [::1]:9464)";
  return false;
}

// One request of a poll: sent, answered or given up.
struct Asked {
  std::string request;
  // Sent just before each try of the request, whose answer follows its own.
  std::string before;
  bool wanted = false;
  bool answered = false;
  int tries = 0;
  Clock::time_point firstSent, deadline;
};

struct Poller::Device {
  Target target;
  std::string label;
  std::unique_ptr<Link> link;
  Clock::time_point linkRetryAt;
  RequestCounts counts;
  Samples samples;
  bool collecting = false;
  // Taken as up at the start, so that a device that never answers is
  // logged too.
  bool up = true;

  Asked stats, frames, start;
  std::optional<Reading> statsReply;
  std::optional<Reading> framesReply;
  double latency = 0;

  Asked* all[3] = {&stats, &frames, &start};
  bool waiting() const {
    for (const Asked* a : all) {
      if (a->wanted && !a->answered) return true;
    }
    return false;
  }
};

Poller::Poller(const ExporterOptions& options) : options_(options) {
  for (const Target& t : options.targets) {
    auto d = std::make_unique<Device>();
    d->target = t;
    d->label = deviceLabel(t.name);
    renderRequests(d->label, false, d->counts, &d->samples);
    devices_.push_back(std::move(d));
  }
  publish();
}

Poller::~Poller() = default;

size_t Poller::size() const { return devices_.size(); }

void Poller::poll() {
  const auto t0 = Clock::now();
  // Every try ends within the interval, so that a dead device costs no poll
  // of the others; each try gets its share of it, so that a lost datagram
  // is sent again rather than taken for a device that is down.
  const auto budget = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(options_.intervalS * 0.9));
  const auto limit = t0 + budget;
  const auto timeout = std::max<Clock::duration>(
      std::min<Clock::duration>(std::chrono::milliseconds(options_.timeoutMs),
                                budget / (options_.retries + 1)),
      std::chrono::milliseconds(std::min(options_.timeoutMs, kShortestTryMs)));
  // Both replies are held to three times the request for a distant peer.
  const std::string statsRequest = paddedRequest(kGetStats);
  const std::string framesRequest = paddedRequest(kGetFrameStats);
  std::string why;
  const std::string start =
      options_.package.empty() ? "" : startRequest(options_.package, &why).value_or("");

  for (auto& d : devices_) {
    d->statsReply.reset();
    d->framesReply.reset();
    for (Asked* a : d->all) *a = Asked();
    // A link that ended (adb without the device) is made again only after
    // a while, rather than an adb started every poll.
    if (d->link && d->link->lost()) {
      d->link.reset();
      d->linkRetryAt = t0 + kLinkRetry;
    }
    if (!d->link) {
      if (t0 < d->linkRetryAt) continue;
      if (d->target.adbSerial) {
        d->link = std::make_unique<RelayLink>(*d->target.adbSerial, d->target.port);
      } else {
        auto udp = std::make_unique<UdpLink>(d->target.host, d->target.port);
        if (udp->ok()) d->link = std::move(udp);
      }
      if (!d->link || d->link->lost()) {
        d->link.reset();
        d->linkRetryAt = t0 + kLinkRetry;
        continue;
      }
    }
    // A late answer to the previous poll is stale now.
    d->link->receive(nullptr);
    d->stats.request = statsRequest;
    d->stats.wanted = true;
    if (!options_.package.empty()) {
      d->frames.request = framesRequest;
      d->frames.wanted = true;
      if (!d->collecting) {
        d->start.request = start;
        // A running collection keeps its own pattern whatever a new start
        // asks, so whatever ran before is stopped first; the daemon answers
        // in order.
        d->start.before = kStopCollect;
        d->start.wanted = true;
      }
    }
  }

  exchange(limit, timeout, [](Device& d, std::string& reply, Clock::time_point at) {
    if (d.stats.wanted && !d.stats.answered) {
      if (auto s = parseDeviceStats(reply)) {
        d.statsReply = std::move(s);
        d.stats.answered = true;
        d.latency = seconds(at - d.stats.firstSent);
        return;
      }
    }
    if (d.frames.wanted && !d.frames.answered) {
      if (auto f = parseFrameStats(reply)) {
        d.framesReply = std::move(f);
        d.frames.answered = true;
        return;
      }
    }
    if (d.start.wanted && !d.start.answered && reply == kSuccess) d.start.answered = true;
  });

  for (auto& d : devices_) {
    ++d->counts.requests;
    const bool up = d->statsReply.has_value();
    // Each change of a device is logged once, with what to check.
    if (up != d->up) {
      if (up) {
        fprintf(stderr, "perfprobe exporter: %s answers\n", d->target.name.c_str());
      } else {
        std::string why = "no reply within its tries";
        if (d->link && d->link->lost()) why = d->link->lostReason();
        if (!d->link) why = "cannot reach it; trying again every 5 s";
        fprintf(stderr, "perfprobe exporter: %s is down: %s\n", d->target.name.c_str(),
                why.c_str());
      }
      d->up = up;
    }
    if (up) {
      d->counts.observe(d->latency);
    } else {
      ++d->counts.failures;
    }
    Samples samples;
    renderRequests(d->label, up, d->counts, &samples);
    // A device that did not answer has no other series: they go stale
    // rather than repeat old values.
    if (up) renderStats(d->label, *d->statsReply, &samples);
    if (up && d->framesReply) {
      renderFrames(d->label, *d->framesReply, &samples);
      // A daemon that started again has no collection: it is asked again.
      d->collecting = d->framesReply->text(field::kState.name) != "idle";
    }
    if (d->start.answered) d->collecting = true;
    d->samples = std::move(samples);
  }
  publish();
}

void Poller::publish() {
  std::vector<const Samples*> all;
  for (const auto& d : devices_) all.push_back(&d->samples);
  auto page = std::make_shared<const std::string>(exposition(all));
  std::lock_guard<std::mutex> lock(mutex_);
  page_ = std::move(page);
}

std::shared_ptr<const std::string> Poller::page() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return page_;
}

size_t Poller::stopCollections() {
  if (options_.package.empty()) return 0;
  // Every device at once, as a poll does, each with its tries.
  const auto timeout = std::chrono::milliseconds(options_.timeoutMs);
  for (auto& d : devices_) {
    for (Asked* a : d->all) *a = Asked();
    if (d->link) d->link->receive(nullptr);
    d->start.request = kStopCollect;
    d->start.wanted = true;
  }
  size_t stopped = 0;
  // Room for every try's whole timeout.
  exchange(Clock::now() + timeout * (options_.retries + 2), timeout,
           [&stopped](Device& d, std::string& reply, Clock::time_point) {
             if (!d.start.answered && reply == kSuccess) {
               d.start.answered = true;
               ++stopped;
             }
           });
  return stopped;
}

void Poller::exchange(Clock::time_point limit, Clock::duration timeout, const OnReply& onReply) {
  std::vector<pollfd> fds;
  std::vector<Device*> polled;
  std::vector<std::string> got;
  for (;;) {
    fds.clear();
    polled.clear();
    auto wake = limit;
    const auto now = Clock::now();
    for (auto& d : devices_) {
      if (!d->link || d->link->lost() || !d->waiting()) continue;
      for (Asked* a : d->all) {
        if (!a->wanted || a->answered) continue;
        if (a->tries == 0 || a->deadline <= now) {
          // A try is sent only while its whole timeout fits before the limit.
          if (a->tries > options_.retries || (a->tries > 0 && now + timeout > limit)) {
            a->wanted = false;  // given up
            continue;
          }
          if (!a->before.empty()) d->link->send(a->before);
          d->link->send(a->request);
          if (a->tries++ == 0) a->firstSent = now;
          a->deadline = now + timeout;
        }
        wake = std::min(wake, a->deadline);
      }
      if (!d->waiting()) continue;
      fds.push_back({d->link->fd(), POLLIN, 0});
      polled.push_back(d.get());
    }
    if (fds.empty() || now >= limit) return;
    const auto waitMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count() + 1;
    if (::poll(fds.data(), fds.size(), static_cast<int>(waitMs)) <= 0) continue;
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      got.clear();
      polled[i]->link->receive(&got);
      const auto at = Clock::now();
      for (std::string& reply : got) onReply(*polled[i], reply, at);
    }
  }
}

namespace {

std::string indexPage(const ExporterOptions& options) {
  char interval[32];
  snprintf(interval, sizeof interval, "%g", options.intervalS);
  std::string page =
      "<!doctype html><html><head><meta charset=\"utf-8\"><title>perfprobe exporter</title>"
      "</head><body><h1>perfprobe exporter</h1><p><a href=\"/metrics\">/metrics</a>, every " +
      std::string(interval) + " s";
  if (!options.package.empty()) page += ", collecting " + htmlEscaped(options.package);
  page += "</p><table><tr><th>device</th><th>address</th></tr>";
  for (const Target& t : options.targets) {
    page +=
        "<tr><td>" + htmlEscaped(t.name) + "</td><td>" +
        htmlEscaped(t.adbSerial ? "adb:" + *t.adbSerial : t.host + ":" + std::to_string(t.port)) +
        "</td></tr>";
  }
  return page + "</table></body></html>\n";
}

}  // namespace

int runExporter(const ExporterOptions& options, const std::string& listen) {
  std::string host, why;
  int port = 0;
  if (!parseListen(listen, &host, &port, &why)) {
    fprintf(stderr, "perfprobe: %s\n", why.c_str());
    return 1;
  }
  // The signals that end it are taken by one thread, in order: every other
  // thread, the server's included, starts with them blocked.
  sigset_t ending;
  sigemptyset(&ending);
  sigaddset(&ending, SIGINT);
  sigaddset(&ending, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &ending, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Poller poller(options);
  httplib::Server server;
  // Prometheus scrapes one page at a time; more threads would only wait.
  server.new_task_queue = [] { return new httplib::ThreadPool(2); };
  // The library compresses with brotli, at its slowest quality, whenever a
  // client accepts it, as browsers do: most of a second of CPU for the page
  // of a hundred devices, against a few milliseconds for gzip, which is
  // what Prometheus asks for. So gzip is the only encoding it is offered,
  // and only from afar: over loopback, compressing saves nothing.
  server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response&) {
    const bool local = req.remote_addr.rfind("127.", 0) == 0 || req.remote_addr == "::1" ||
                       req.remote_addr.rfind("::ffff:127.", 0) == 0;
    const bool gzip =
        !local && req.get_header_value("Accept-Encoding").find("gzip") != std::string::npos;
    // The request is the server's own, handed on read-only.
    auto& headers = const_cast<httplib::Request&>(req).headers;
    headers.erase("Accept-Encoding");
    if (gzip) headers.emplace("Accept-Encoding", "gzip");
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server.Get("/metrics", [&poller](const httplib::Request&, httplib::Response& res) {
    const auto page = poller.page();
    res.set_content(*page, "text/plain; version=0.0.4; charset=utf-8");
  });
  const std::string index = indexPage(options);
  server.Get("/", [&index](const httplib::Request&, httplib::Response& res) {
    res.set_content(index, "text/html; charset=utf-8");
  });
  if (!server.bind_to_port(host.c_str(), port)) {
    fprintf(stderr,
            "perfprobe: cannot listen on %s: the address is not this machine's, or the "
            "port is taken\n",
            listen.c_str());
    return 1;
  }
  printf("perfprobe exporter: serving http://%s/metrics for %zu devices\n", listen.c_str(),
         poller.size());
  fflush(stdout);

  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  std::thread polling([&] {
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(options.intervalS));
    auto next = Clock::now();
    for (;;) {
      poller.poll();
      next += interval;
      const auto now = Clock::now();
      // A poll that overran gives up the polls it missed.
      if (next < now) next = now;
      std::unique_lock<std::mutex> lock(mutex);
      if (wake.wait_until(lock, next, [&] { return stopping; })) return;
    }
  });
  std::thread signals([&] {
    int sig = 0;
    sigwait(&ending, &sig);
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
    }
    wake.notify_all();
    server.stop();
  });
  const bool served = server.listen_after_bind();
  if (!served) {
    // The server ended on its own: the signal thread is woken as by Ctrl-C.
    kill(getpid(), SIGTERM);
  }
  signals.join();
  polling.join();
  if (!options.package.empty()) {
    const size_t stopped = poller.stopCollections();
    printf("perfprobe exporter: stopped the collection on %zu of %zu devices\n", stopped,
           poller.size());
  }
  return 0;
}

}  // namespace perfprobe
