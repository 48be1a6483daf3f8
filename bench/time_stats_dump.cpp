#include "dumpsys_double/time_stats.h"
#include "workload.h"

namespace workload {

namespace {

// Counts around a bucket, as frame times gather near one value and trail
// off towards longer ones.
std::map<unsigned, uint64_t> spread(uint64_t total, size_t peak) {
  static const unsigned kPercent[] = {1, 2, 4, 10, 40, 18, 9, 6, 4, 2, 1, 1, 1, 1};
  constexpr size_t kBefore = 4;
  std::map<unsigned, uint64_t> counts;
  uint64_t left = total;
  for (size_t i = 0; i < sizeof kPercent / sizeof kPercent[0]; ++i) {
    const uint64_t n = total * kPercent[i] / 100;
    counts[kTimeStatsBucketMs[peak - kBefore + i]] = n;
    left -= n;
  }
  counts[kTimeStatsBucketMs[peak]] += left;
  return counts;
}

std::string histogram(const char* name, uint64_t total, size_t peak) {
  return std::string(name) + " histogram is as below:\n" +
         dumpsys_double::timeStatsHistogram(spread(total, peak));
}

std::string gameLayer(int n) {
  const std::string activity = std::string(kPackage) + "/" + kPackage + ".GameActivity";
  if (n < 2) return "SurfaceView[" + activity + "](BLAST)#1234";
  return activity + "#" + std::to_string(1230 + n);
}

}  // namespace

std::string timeStatsGameLayer() { return gameLayer(0); }

std::string timeStatsDump(int layers, int matching) {
  std::string dump = dumpsys_double::timeStatsGlobalPart();
  const int stride = matching > 0 ? layers / matching : layers + 1;
  uint64_t total = 400000;
  for (int i = 0; i < layers; ++i) {
    // The game's blocks are spread among the system's, as their counts fall.
    const bool game = i % stride == 1 && i / stride < matching;
    const int n = i / stride;
    // The SurfaceView's second block: the same layer at 60 Hz for a while.
    const unsigned refresh = game && n == 1 ? 60 : 120;
    const unsigned render = game && n < 2 ? 60 : refresh;
    // The histograms' busiest bucket: 16 ms at 60 fps, 8 ms at 120.
    const size_t p2p = render == 60 ? 16 : 8;
    dumpsys_double::Jank jank;
    jank.janky = total / 150;
    jank.sfLongCpu = total / 2000;
    jank.sfUnattributed = total / 1500;
    jank.appUnattributed = total / 400;
    jank.sfScheduling = total / 3000;
    jank.appStuffing = total / 5000;
    dump += dumpsys_double::timeStatsBlock(refresh, render, game ? gameLayer(n) : systemLayerName(i),
                                           total, spread(total, p2p), jank) +
            histogram("desired2present", total, 6) + histogram("latch2present", total, 5) +
            histogram("post2acquire", total, 4) + histogram("post2present", total, 12);
    total = total * 93 / 100;
  }
  return dump;
}

}  // namespace workload
