#include "monitor.h"

#include <errno.h>
#include <math.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "plot.h"
#include "recording.h"
#include "replies.h"
#include "report.h"
#include "series.h"
#include "sources.h"
#include "scoped_resource.h"

namespace perfprobe {

namespace {

volatile sig_atomic_t interrupted = 0;

void onInterrupt(int) { interrupted = 1; }

// Ctrl-C and a plain kill end the sampling, not the process, so that the
// collection is stopped and the figures are written. Once the sampling has
// ended the default action returns: a second Ctrl-C ends the process.
void catchInterrupts(bool on) {
  struct sigaction sa {};
  sa.sa_handler = on ? onInterrupt : SIG_DFL;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

double monotonicS() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Sleeps until the monotonic time `at`, or until an interrupt.
void sleepUntil(double at) {
  timespec ts;
  ts.tv_sec = static_cast<time_t>(at);
  ts.tv_nsec = static_cast<long>((at - static_cast<double>(ts.tv_sec)) * 1e9);
  while (!interrupted && clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

// Now, in UTC: "2026-12-11T03:04:05.123Z".
std::string utcNow() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  tm parts;
  gmtime_r(&ts.tv_sec, &parts);
  char buf[48];
  const size_t n = strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &parts);
  snprintf(buf + n, sizeof buf - n, ".%03ldZ", ts.tv_nsec / 1000000);
  return buf;
}

bool onPath(const char* program) {
  const char* path = getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  size_t from = 0;
  for (;;) {
    const size_t colon = dirs.find(':', from);
    std::string dir = dirs.substr(from, colon - from);
    if (dir.empty()) dir = ".";
    if (access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    if (colon == std::string::npos) return false;
    from = colon + 1;
  }
}

bool writeAll(FILE* f, const std::string& text) {
  return fwrite(text.data(), 1, text.size(), f) == text.size() && fflush(f) == 0;
}

// One run of a monitor, in the order runMonitor calls its steps. It owns the
// CSV stream and the table that its sources fill.
class Monitor {
 public:
  Monitor(Channel& channel, const MonitorOptions& options)
      : channel_(channel),
        options_(options),
        ask_([&channel](const std::string& request, const Channel::Accept& accept) {
          return channel.ask(request, accept);
        }),
        sources_(monitorSources([&channel](const std::string& request,
                                           const Channel::Accept& accept) {
          // One try, since a daemon without frame statistics or GET_STATS
          // never answers them: such a daemon delays the start by one
          // --timeout for each. A loaded daemon that is slower than that is
          // taken for one without.
          return channel.ask(request, accept, channel.options().timeoutMs, 0);
        })) {}

  // What can fail before the daemon is asked anything: the pattern, gnuplot
  // and the CSV file. Returns 0, or 1 after saying why.
  int prepare() {
    std::string why;
    const auto request = startRequest(options_.pattern, &why);
    if (!request) {
      fprintf(stderr, "perfprobe: %s\n", why.c_str());
      return 1;
    }
    startRequest_ = *request;
    if (!options_.plotPath.empty() && !onPath("gnuplot")) {
      fprintf(stderr, "perfprobe: --plot needs gnuplot (Debian: apt-get install gnuplot-nox)\n");
      return 1;
    }
    for (Output* out : {&csv_, &record_}) {
      if (out->path.empty()) continue;
      out->stream.reset(fopen(out->path.c_str(), "we"));
      if (!out->stream) {
        fprintf(stderr, "perfprobe: %s: %s\n", out->path.c_str(), strerror(errno));
        return 1;
      }
    }
    return 0;
  }

  // Catches interrupts, starts the collection and lets each source decide
  // its series.
  void start() {
    interrupted = 0;
    catchInterrupts(true);
    // A closed standard output (a pipe into head, say) ends the sampling like
    // Ctrl-C does, so that the collection is still stopped.
    signal(SIGPIPE, SIG_IGN);
    channel_.setCancel(&interrupted);
    // A running collection keeps its own pattern whatever a new start asks,
    // so whatever ran before is stopped first.
    answered_ = channel_.ask(kStopCollect, isSuccess) && channel_.ask(startRequest_, isSuccess);
    t0_ = monotonicS();
    if (!answered_) return;
    auto kinds = sources_.start(ask_);
    answered_ = kinds.has_value();
    if (answered_) table_.kinds = std::move(*kinds);
    // The columns are known only now: the CPUs and thermal zones are the
    // daemon's.
    if (answered_ && options_.columns && !chooseLive(table_, *options_.columns, &columnsError_)) {
      return;
    }
    // The sampling's clock starts once the sources know their series: the
    // wait for frame statistics that an older daemon never sends must not
    // cost it samples.
    t0_ = monotonicS();
    meta_.start = utcNow();
  }

  // Every interval until the duration or an interrupt: a sample from every
  // source, shown and written as it comes.
  void sample() {
    if (!answered_ || !columnsError_.empty()) return;
    if (!options_.json) {
      printf("Monitoring \"%s\" every %g s%s\n", options_.pattern.c_str(), options_.intervalS,
             options_.durationS > 0 ? "" : " until Ctrl-C");
      fputs(liveHeader(table_).c_str(), stdout);
    }
    // With --json, only JSON lines on standard output.
    fflush(stdout);
    csv_.write(csvHeader(table_));
    meta_.host = channel_.deviceName();
    meta_.port = channel_.options().port;
    meta_.package = options_.pattern;
    meta_.intervalS = options_.intervalS;
    record_.write(recordingHeader(meta_, table_));
    for (long k = 1;; ++k) {
      const double offset = static_cast<double>(k) * options_.intervalS;
      if (options_.durationS > 0 && offset > options_.durationS + 1e-9) break;
      wait(t0_ + offset);
      if (interrupted) break;
      const double timeS = monotonicS() - t0_;
      bool answered = false;
      const std::vector<Value> row = sources_.sample(ask_, &answered);
      if (interrupted) break;
      if (!answered) fprintf(stderr, "perfprobe: %s\n", channel_.noReplyMessage().c_str());
      // Through adb, an adb that ended ends the run: nothing more can come.
      if (channel_.lost()) break;
      table_.append(timeS, row);
      const size_t last = table_.size() - 1;
      fputs((options_.json ? jsonSample(table_, last) : liveLine(table_, last)).c_str(), stdout);
      if (fflush(stdout) != 0) interrupted = 1;
      csv_.write(csvRow(table_, last));
      record_.write(recordingSample(table_, last));
      // A sample that ran over its slot gives up the slots it missed rather
      // than sampling twice in a row.
      const double behind = monotonicS() - t0_;
      if (behind > static_cast<double>(k + 1) * options_.intervalS) {
        k = static_cast<long>(floor(behind / options_.intervalS));
      }
    }
  }

  // Stops the collection on every way out, then the summary, the CSV and
  // the plot. Returns the exit status.
  int finish() {
    catchInterrupts(false);
    channel_.setCancel(nullptr);
    int status = 0;
    const bool stopped = channel_.ask(kStopCollect, isSuccess).has_value();
    if (!columnsError_.empty()) {
      fprintf(stderr, "perfprobe: %s\n", columnsError_.c_str());
      if (!stopped) {
        fprintf(stderr, "perfprobe: %s\nperfprobe: the collection may still be running\n",
                channel_.noReplyMessage().c_str());
      }
      // Nothing was measured.
      csv_.discard();
      record_.discard();
      return 2;
    }
    if (!answered_ && interrupted) {
      fprintf(stderr, "perfprobe: interrupted before the collection started\n");
      status = 1;
    } else if (!answered_ || !stopped) {
      fprintf(stderr, "perfprobe: %s\n", channel_.noReplyMessage().c_str());
      if (answered_) fprintf(stderr, "perfprobe: the collection may still be running\n");
      status = 2;
    }
    if (answered_) {
      fputs((options_.json ? jsonSummary(table_, options_.intervalS)
                           : summaryText(table_, options_.intervalS))
                .c_str(),
            stdout);
      fflush(stdout);
    }
    if (!answered_) {
      // Nothing was measured: no empty file is left to be taken for a result.
      csv_.discard();
      record_.discard();
    }
    if (answered_) record_.write(jsonSummary(table_, options_.intervalS));
    for (Output* out : {&csv_, &record_}) {
      if (!out->close()) {
        fprintf(stderr, "perfprobe: writing %s failed\n", out->path.c_str());
        if (status == 0) status = 1;
      }
    }
    bool plotted = false;
    if (!options_.plotPath.empty() && answered_) {
      if (table_.size() == 0) {
        fprintf(stderr, "perfprobe: no sample to plot\n");
      } else {
        plotted = renderPlot(table_, options_.plotPath, "perfprobe monitor " + options_.pattern);
        if (!plotted && status == 0) status = 1;
      }
    }
    if (!options_.json && answered_) {
      if (!csv_.path.empty() && csv_.ok) printf("CSV: %s\n", csv_.path.c_str());
      if (plotted) printf("Plot: %s\n", options_.plotPath.c_str());
      if (!record_.path.empty() && record_.ok) {
        printf("Recording: %s (perfprobe report %s -o report.html)\n", record_.path.c_str(),
               record_.path.c_str());
      }
    }
    return status;
  }

 private:
  // A file written as the run goes: the CSV or the recording. After the
  // first failed write it writes nothing more, and says so at the end.
  struct Output {
    explicit Output(std::string p) : path(std::move(p)) {}

    std::string path;
    ScopedStream stream;
    bool ok = true;

    void write(const std::string& text) {
      if (stream && ok) ok = writeAll(stream.get(), text);
    }
    // Removes a file that holds no result.
    void discard() {
      if (!stream) return;
      stream.reset();
      unlink(path.c_str());
    }
    // False when a write or the close failed.
    bool close() {
      if (!stream) return true;
      ok = fclose(stream.release()) == 0 && ok;
      return ok;
    }
  };

  // Until the monotonic time `at`, or an interrupt: with --mark, taking
  // every line that comes on standard input as a marker, stamped when it
  // came.
  void wait(double at) {
    if (!options_.mark || !stdinOpen_) {
      sleepUntil(at);
      return;
    }
    while (!interrupted && stdinOpen_) {
      const double left = at - monotonicS();
      if (left <= 0) return;
      pollfd in{STDIN_FILENO, POLLIN, 0};
      const int ready = poll(&in, 1, static_cast<int>(ceil(left * 1000)));
      if (ready <= 0) continue;  // the time is up, or a signal came
      char buf[4096];
      const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) stdinOpen_ = false;
      for (std::string& label : n > 0 ? marks_.add({buf, static_cast<size_t>(n)}) : marks_.end()) {
        addMark(std::move(label));
      }
    }
    sleepUntil(at);
  }

  void addMark(std::string label) {
    ++markCount_;
    if (label.empty()) label = "mark " + std::to_string(markCount_);
    const Mark mark{monotonicS() - t0_, std::move(label)};
    record_.write(recordingMark(mark));
    if (options_.json) {
      printf("{\"time_s\":%.3f,\"mark\":%s}\n", mark.timeS,
             nlohmann::json(mark.label)
                 .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
                 .c_str());
    } else {
      printf("  marker at %.1f s: %s\n", mark.timeS, mark.label.c_str());
    }
    if (fflush(stdout) != 0) interrupted = 1;
  }

  Channel& channel_;
  const MonitorOptions& options_;
  const Ask ask_;
  Sources sources_;
  std::string startRequest_;
  Output csv_{options_.csvPath};
  Output record_{options_.recordPath};
  RecordingMeta meta_;
  bool stdinOpen_ = true;
  MarkLines marks_;
  size_t markCount_ = 0;
  bool answered_ = false;  // the collection started and every source had its first reply
  std::string columnsError_;  // why --columns cannot be shown
  double t0_ = 0;
  Table table_;
};

}  // namespace

int runMonitor(Channel& channel, const MonitorOptions& options) {
  Monitor monitor(channel, options);
  if (const int status = monitor.prepare(); status != 0) return status;
  monitor.start();
  monitor.sample();
  return monitor.finish();
}

}  // namespace perfprobe
