#include "workload.h"

#include "dumpsys_double/latency.h"

namespace workload {

namespace {

std::string layerName(int i, int layers, int matching) {
  // The matching layers are spread through the listing, as a game's
  // surfaces sit among the system's own.
  const int stride = layers / matching;
  if (i % stride == stride - 1 && i / stride < matching) {
    const int n = i / stride;
    if (n == 0) return std::string("SurfaceView - ") + kPackage + "/" + kPackage + ".GameActivity#0";
    return std::string(kPackage) + "/com.bench.game.Layer" + std::to_string(n) + "#" + std::to_string(n);
  }
  static const char* const kSystem[] = {"StatusBar", "NavigationBar0", "com.android.systemui.ImageWallpaper",
                                        "Dim Layer for - Task=12", "InputMethod", "ScreenDecorOverlay"};
  return std::string(kSystem[i % 6]) + "#" + std::to_string(i);
}

}  // namespace

std::string listing(int layers, int matching) {
  std::string out;
  for (int i = 0; i < layers; ++i) out += layerName(i, layers, matching) + "\n";
  return out;
}

std::vector<std::string> matchingNames(int layers, int matching) {
  std::vector<std::string> names;
  for (int i = 0; i < layers; ++i) {
    std::string name = layerName(i, layers, matching);
    if (name.find(kPackage) != std::string::npos) names.push_back(name);
  }
  return names;
}

int matchingLayerFps(int index) {
  static const int kFps[] = {60, 30, 24, 50, 45, 20, 10, 55};
  return kFps[index % 8];
}

std::string latencyOutput(int fps) {
  // Some 83 minutes of uptime, a little into a second.
  const uint64_t start = 5000ULL * 1000000000ULL + 123456789ULL;
  const uint64_t period = 1000000000ULL / static_cast<uint64_t>(fps);
  std::vector<uint64_t> times;
  for (int i = 0; i < kTimingLines; ++i) times.push_back(start + static_cast<uint64_t>(i) * period);
  return dumpsys_double::timingLines(times);
}

std::vector<std::string> cpuFreqFiles(int cpus) {
  static const char* const kFreq[] = {"1804800", "1804800", "1497600", "1497600",
                                      "2419200", "2419200", "2841600", "300000"};
  std::vector<std::string> files;
  for (int i = 0; i < cpus; ++i) files.push_back(std::string(kFreq[i % 8]) + "\n");
  return files;
}

}  // namespace workload
