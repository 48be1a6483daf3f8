#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

class PackagePattern;

// The processes of the running collection's app in one GET_STATS sample;
// all unknown while no collection runs.
struct AppFigures {
  std::optional<int64_t> pids;
  std::optional<int64_t> threads;
  std::optional<int64_t> rssKb;
  // The share of one core they took since the previous sample, in tenths of
  // a percent.
  std::optional<int64_t> cpuTenths;
};

// The scan of root/proc for the app's processes: those whose first
// argument the collection's package pattern matches, as an app that the
// zygote started carries its package there (its process name, which may
// end in ":service"). It keeps what it decided of each process and the
// CPU times of the previous sample, for the next.
class AppScan {
 public:
  explicit AppScan(const std::string& root);

  // app is the collection's pattern, or null while idle; collection tells
  // one collection from the next, so that the shares of one are never taken
  // against the processes of another. nowNs is the sample's time on the
  // monotonic clock.
  AppFigures scan(const PackagePattern* app, uint64_t collection, uint64_t nowNs);

 private:
  // App processes whose CPU time is followed from one sample to the next;
  // more are counted in every other figure.
  static constexpr size_t kMaxProcesses = 64;

  struct AppProcess {
    int pid = 0;
    uint64_t startTicks = 0;
    uint64_t cpuTicks = 0;
  };
  struct Sample {
    bool taken = false;
    uint64_t collection = 0;
    uint64_t atNs = 0;
    bool all = true;  // every matching process is in processes
    size_t count = 0;
    std::array<AppProcess, kMaxProcesses> processes;
  };

  // Whether the pattern matches a process's first argument. Reading every
  // process's command line is most of a reply's cost on a phone of hundreds
  // of processes, and a process keeps its first argument, but for the
  // moment after its start: a fork runs its parent's command line until it
  // calls exec, and an app forked by the zygote reads "zygote64" until it
  // takes its package's name. So a decision is read again at every request
  // until one was made kSettledNs after the process was first seen, and is
  // kept from then on. A process is known by its pid and the inode of its
  // /proc folder, which a new process of the same pid does not share.
  struct MatchDecision {
    int pid;
    ino_t ino;
    uint64_t firstNs;
    uint64_t decidedNs;
    bool matches;
  };
  static constexpr uint64_t kSettledNs = 2000000000;

  const MatchDecision* decisionFor(int pid, ino_t ino) const;
  // The CPU ticks process p took since the previous sample.
  uint64_t ticksSince(const AppProcess& p) const;

  const std::string root_;
  const int64_t pageKb_;
  const uint64_t nsPerTick_;
  // The previous sample and the one being taken, swapped at the end of
  // each scan.
  Sample samples_[2];
  Sample* previous_ = &samples_[0];
  Sample* current_ = &samples_[1];
  // The decisions of the collection decisionsCollection, in pid order; the
  // next scan's, kept for its buffer.
  std::vector<MatchDecision> decisions_, nextDecisions_;
  uint64_t decisionsCollection_ = 0;
  // The first argument of the process being read, kept for its buffer.
  std::string argv0_;
};
