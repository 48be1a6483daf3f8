#include "stats/app_scan.h"

#include <dirent.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string_view>
#include <utility>

#include "package_pattern.h"
#include "scoped_resource.h"
#include "stats/kernel_files.h"
#include "stats/stats_parse.h"

AppScan::AppScan(const std::string& root)
    : root_(root), pageKb_(pageSizeKb()), nsPerTick_(nsPerClockTick()) {}

const AppScan::MatchDecision* AppScan::decisionFor(int pid, ino_t ino) const {
  const auto at = std::lower_bound(decisions_.begin(), decisions_.end(), pid,
                                   [](const MatchDecision& d, int p) { return d.pid < p; });
  return at != decisions_.end() && at->pid == pid && at->ino == ino ? &*at : nullptr;
}

uint64_t AppScan::ticksSince(const AppProcess& p) const {
  for (size_t i = 0; i < previous_->count; ++i) {
    const AppProcess& before = previous_->processes[i];
    if (before.pid == p.pid && before.startTicks == p.startTicks) {
      return p.cpuTicks > before.cpuTicks ? p.cpuTicks - before.cpuTicks : 0;
    }
  }
  // Not there at the previous sample: all its time is since, unless the
  // previous sample left it out for want of room.
  return previous_->all ? p.cpuTicks : 0;
}

AppFigures AppScan::scan(const PackagePattern* app, uint64_t collection, uint64_t nowNs) {
  Sample& current = *current_;
  current.taken = app != nullptr;
  current.atNs = nowNs;
  if (app == nullptr) {
    decisions_.clear();
    std::swap(previous_, current_);
    return AppFigures();
  }
  current.collection = collection;
  current.all = true;
  current.count = 0;
  const bool since = previous_->taken && previous_->collection == collection;
  // The decisions are the pattern's: another collection starts afresh.
  if (decisionsCollection_ != collection) decisions_.clear();
  decisionsCollection_ = collection;
  nextDecisions_.clear();

  int64_t pids = 0, threads = 0, rssPages = 0;
  uint64_t newTicks = 0;
  Path path(root_);
  path.add("/proc");
  ScopedDir dir(opendir(path.c_str()));
  while (dir) {
    const dirent* entry = readdir(dir.get());
    if (entry == nullptr) break;
    const char* name = entry->d_name;
    if (name[0] < '1' || name[0] > '9' || strspn(name, "0123456789") != strlen(name)) continue;
    const int pid = atoi(name);
    const size_t base = path.add("/");
    path.add(name);

    const MatchDecision* before = decisionFor(pid, entry->d_ino);
    MatchDecision now{pid, entry->d_ino, before ? before->firstNs : nowNs, nowNs, false};
    if (before != nullptr && before->decidedNs - before->firstNs >= kSettledNs) {
      now = *before;
    } else {
      const size_t pidDir = path.add("/cmdline");
      char buf[512];
      const std::optional<std::string_view> cmdline = readSmall(path.c_str(), buf, sizeof buf);
      path.cut(pidDir);
      // Gone, or closed to us: nothing to keep.
      if (!cmdline) {
        path.cut(base);
        continue;
      }
      // A kernel thread or a zombie has none.
      argv0_.assign(cmdline->data(), strnlen(cmdline->data(), cmdline->size()));
      now.matches = !argv0_.empty() && app->matches(argv0_);
    }
    nextDecisions_.push_back(now);
    if (!now.matches) {
      path.cut(base);
      continue;
    }

    char statBuf[1024];
    path.add("/stat");
    const std::optional<std::string_view> statText =
        readSmall(path.c_str(), statBuf, sizeof statBuf);
    path.cut(base);
    const std::optional<ProcessStat> stat = statText ? parseProcessStat(*statText) : std::nullopt;
    // Gone between its listing and its reading: not counted.
    if (!stat) continue;
    ++pids;
    threads += stat->threads;
    rssPages += stat->rssPages;

    if (current.count == kMaxProcesses) {
      current.all = false;
      continue;
    }
    const AppProcess process{pid, stat->startTicks, stat->cpuTicks};
    current.processes[current.count++] = process;
    if (since) newTicks += ticksSince(process);
  }
  // /proc lists processes in pid order; any other folder is put in it.
  const auto byPid = [](const MatchDecision& a, const MatchDecision& b) { return a.pid < b.pid; };
  if (!std::is_sorted(nextDecisions_.begin(), nextDecisions_.end(), byPid)) {
    std::sort(nextDecisions_.begin(), nextDecisions_.end(), byPid);
  }
  decisions_.swap(nextDecisions_);

  AppFigures figures;
  figures.pids = pids;
  figures.threads = threads;
  figures.rssKb = rssPages * pageKb_;
  if (since) {
    // The time since the previous sample; 0 when the clock went back.
    const uint64_t elapsedNs = nowNs > previous_->atNs ? nowNs - previous_->atNs : 0;
    figures.cpuTenths = coreShareTenths(newTicks * nsPerTick_, elapsedNs);
  }
  std::swap(previous_, current_);
  return figures;
}
