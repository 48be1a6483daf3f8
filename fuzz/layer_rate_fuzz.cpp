// A layer's rate from its latency output, held to the rate computed the
// long way: fgets lines into a deque of at most 129, then sscanf and the
// count of frames in the first whole second.

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <deque>
#include <string>
#include <vector>

#include "fpsbench/latency.h"
#include "fpsbench/line_splitter.h"
#include "fuzz_common.h"

namespace {

static_assert(sizeof(unsigned long) == 8, "the timings are read as 64-bit %lu");

// The submitting time of a timing line, 0 unless all three values are
// there and non-zero.
uint64_t submittingOf(const std::string& line) {
  unsigned long started = 0, submitting = 0, submitted = 0;
  sscanf(line.c_str(), "%lu %lu %lu", &started, &submitting, &submitted);
  return started == 0 || submitting == 0 || submitted == 0 ? 0 : submitting;
}

struct Model {
  std::vector<uint64_t> window;  // submitting values of the kept lines, oldest first
  int rate;
};

Model modelRate(const uint8_t* data, size_t size) {
  const std::vector<std::string> lines = fuzz::fgetsLines(data, size);
  std::deque<std::string> kept;
  for (size_t i = 1; i < lines.size(); ++i) {
    kept.push_back(lines[i]);
    if (kept.size() >= 130) kept.pop_front();
  }

  Model model;
  for (const std::string& line : kept) model.window.push_back(submittingOf(line));

  uint64_t fpsCount = 0, totalCount = 0, curLayerFPS = 0, lastTimeStamp = 0;
  bool isFirst = true;
  while (!kept.empty()) {
    const std::string line = kept.front();
    kept.pop_front();
    const uint64_t submitting = submittingOf(line);
    if (submitting == 0) continue;
    ++totalCount;
    const uint64_t second = static_cast<uint64_t>(static_cast<double>(submitting) / 1e9);
    if (lastTimeStamp == 0) {
      lastTimeStamp = second;
    } else if (lastTimeStamp == second) {
      ++fpsCount;
    } else if (isFirst) {
      isFirst = false;
      fpsCount = 0;
      lastTimeStamp = second;
    } else {
      curLayerFPS = fpsCount;
      break;
    }
  }
  model.rate = totalCount > 0 ? static_cast<int>(curLayerFPS) : -1;
  return model;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Model model = modelRate(data, size);

  const int whole = layerRateFromOutput(std::string(reinterpret_cast<const char*>(data), size));
  FUZZ_CHECK(whole == model.rate, "whole output: rate %d, expected %d", whole, model.rate);
  FUZZ_CHECK(whole >= -1 && whole <= 128, "rate %d is out of [-1, 128]", whole);

  LatencyWindow window;
  LineSplitter lines;
  fuzz::ChunkSizes sizes(data, size, 0);
  fuzz::feedInChunks(lines, data, size, sizes,
                     [&window](const char* line, size_t) { window.addOutputLine(line); });
  FUZZ_CHECK(window.size() == model.window.size(), "in chunks: %zu lines kept, expected %zu",
             window.size(), model.window.size());
  for (size_t i = 0; i < window.size(); ++i) {
    FUZZ_CHECK(window.submittingAt(i) == model.window[i],
               "in chunks: line %zu submits at %llu, expected %llu", i,
               static_cast<unsigned long long>(window.submittingAt(i)),
               static_cast<unsigned long long>(model.window[i]));
  }
  const int chunked = fpsFromTimings(FrameData(), window);
  FUZZ_CHECK(chunked == model.rate, "in chunks: rate %d, expected %d", chunked, model.rate);
  return 0;
}
