#include "fpsbench/latency.h"

#include "fpsbench/frame_stats.h"
#include "fpsbench/line_splitter.h"
#include "fpsbench/timing_row.h"

void LatencyWindow::addOutputLine(const char* line) {
  if (!sawPeriodLine_) {
    sawPeriodLine_ = true;
    if (counter_ != nullptr) counter_->firstLine(line);
    return;
  }
  const TimingRow row = scanTimingRow(line);
  if (counter_ != nullptr) counter_->row(line, row);
  const uint64_t timing =
      row.startedNonZero && row.present != 0 && row.readyNonZero ? row.present : 0;
  if (count_ == kMaxLines) {
    ring_[first_] = timing;
    first_ = (first_ + 1) % kMaxLines;
  } else {
    ring_[(first_ + count_) % kMaxLines] = timing;
    ++count_;
  }
}

int fpsFromTimings(FrameData frameData, const LatencyWindow& window) {
  uint32_t fpsCount = 0;
  uint32_t totalCount = 0;
  uint32_t isFirst = 1;
  int32_t curLayerFPS = 0;
  for (size_t i = 0; i < window.size(); ++i) {
    const uint64_t submitting = window.submittingAt(i);
    if (submitting == 0) continue;
    ++totalCount;
    frameData.timeStamp = static_cast<uint64_t>(static_cast<double>(submitting) / 1e9);
    if (frameData.lastTimeStamp == 0) {
      frameData.lastTimeStamp = frameData.timeStamp;
    } else if (frameData.lastTimeStamp == frameData.timeStamp) {
      ++fpsCount;
    } else if (isFirst == 1) {
      // The first whole second begins; the frame that opens it restarts the
      // count instead of adding to it.
      isFirst = 0;
      fpsCount = 0;
      frameData.lastTimeStamp = frameData.timeStamp;
    } else {
      curLayerFPS = static_cast<int32_t>(fpsCount);
      frameData.lastTimeStamp = 0;
      break;
    }
  }
  return totalCount > 0 ? curLayerFPS : -1;
}

int layerRateFromOutput(const std::string& output) {
  LatencyWindow window;
  LineSplitter lines;
  auto add = [&window](const char* line, size_t) { window.addOutputLine(line); };
  lines.feed(output.data(), output.size(), add);
  lines.finish(add);
  return fpsFromTimings(FrameData(), window);
}

std::string layerNameOf(const FrameData& frameData) {
  const std::string& name = frameData.name;
  return name.empty() ? name : name.substr(0, name.size() - 1);
}

std::array<const char*, 5> latencyArguments(const std::string& layerName) {
  return {"dumpsys", "SurfaceFlinger", "--latency", layerName.c_str(), nullptr};
}
