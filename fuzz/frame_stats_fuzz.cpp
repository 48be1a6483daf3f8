// The frame statistics of a collection over ticks whose latency outputs are
// the input's pieces (split at "\n--tick--\n"), each read by two layers: one
// fed the whole output, one fed it in chunks. Both must give the same
// figures; the figures must hold together, count no frame twice across
// ticks, and make a reply of every line in order.

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <set>
#include <string>
#include <vector>

#include "fields.h"
#include "fpsbench/frame_stats.h"
#include "fpsbench/latency.h"
#include "fpsbench/line_splitter.h"
#include "fuzz_common.h"

namespace {

constexpr char kTick[] = "\n--tick--\n";

std::vector<std::string> ticksOf(const std::string& input) {
  std::vector<std::string> ticks;
  size_t from = 0;
  for (;;) {
    const size_t at = input.find(kTick, from);
    if (at == std::string::npos || ticks.size() == 7) break;
    ticks.push_back(input.substr(from, at - from + 1));
    from = at + sizeof kTick - 1;
  }
  ticks.push_back(input.substr(from));
  return ticks;
}

// The present times a row could count with, read the long way: every line
// after the first, three numbers all there and non-zero.
void addPresents(const std::string& output, std::set<uint64_t>* presents) {
  const std::vector<std::string> lines =
      fuzz::fgetsLines(reinterpret_cast<const uint8_t*>(output.data()), output.size());
  for (size_t i = 1; i < lines.size(); ++i) {
    unsigned long long a = 0, b = 0, c = 0;
    if (sscanf(lines[i].c_str(), "%llu %llu %llu", &a, &b, &c) == 3 && a != 0 && b != 0 && c != 0) {
      presents->insert(b);
    }
  }
}

void check(const FrameStats& s, const char* how) {
  FUZZ_CHECK(s.timedFrames <= s.frames, "%s: %zu timed frames of %zu", how, s.timedFrames,
             s.frames);
  if (s.timedFrames > 0) {
    FUZZ_CHECK(s.p50Ns <= s.p95Ns && s.p95Ns <= s.maxNs && s.maxNs <= s.spanNs,
               "%s: p50 %llu, p95 %llu, max %llu, span %llu", how,
               static_cast<unsigned long long>(s.p50Ns), static_cast<unsigned long long>(s.p95Ns),
               static_cast<unsigned long long>(s.maxNs), static_cast<unsigned long long>(s.spanNs));
  }
  FUZZ_CHECK(s.bigJank <= s.jank && s.jank <= s.timedFrames && s.missedVsyncs <= s.timedFrames,
             "%s: jank %u, big %u, missed %u of %zu", how, s.jank, s.bigJank, s.missedVsyncs,
             s.timedFrames);
  FUZZ_CHECK(s.jankNs <= s.spanNs, "%s: jank time beyond the span", how);
  const std::string text = frameStatsText(&s);
  size_t at = 0;
  for (const field::Field* f : field::kFrameStatsFields) {
    const char* name = f->name;
    const std::string head = std::string(name) + " ";
    FUZZ_CHECK(text.compare(at, head.size(), head) == 0, "%s: no line %s in %s", how, name,
               fuzz::show(text).c_str());
    at = text.find('\n', at);
    FUZZ_CHECK(at != std::string::npos, "%s: line %s not ended", how, name);
    ++at;
  }
  FUZZ_CHECK(at == text.size(), "%s: bytes after the last line", how);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  FrameTracker whole;
  FrameTracker chunked;
  std::set<uint64_t> presents;
  size_t counted = 0;
  uint64_t now = 1000000000;
  uint64_t salt = 0;
  for (const std::string& output : ticksOf(input)) {
    addPresents(output, &presents);
    now += 1000000000;
    FrameStats stats[2];
    for (int way = 0; way < 2; ++way) {
      FrameTracker& tracker = way == 0 ? whole : chunked;
      tracker.beginTick(now);
      FrameCounter counter = tracker.counterFor("layer");
      LatencyWindow window(&counter);
      LineSplitter lines;
      auto add = [&window](const char* line, size_t) { window.addOutputLine(line); };
      if (way == 0) {
        lines.feed(output.data(), output.size(), add);
        lines.finish(add);
      } else {
        fuzz::ChunkSizes sizes(data, size, ++salt);
        fuzz::feedInChunks(lines, reinterpret_cast<const uint8_t*>(output.data()), output.size(),
                           sizes, add);
      }
      tracker.endLayer("layer", counter);
      stats[way] = tracker.endTick(true);
      check(stats[way], way == 0 ? "whole" : "in chunks");
    }
    FUZZ_CHECK(frameStatsText(&stats[0]) == frameStatsText(&stats[1]),
               "whole and in chunks differ: %s against %s",
               fuzz::show(frameStatsText(&stats[0])).c_str(),
               fuzz::show(frameStatsText(&stats[1])).c_str());
    counted += stats[0].frames;
    FUZZ_CHECK(counted <= presents.size(), "%zu frames counted from %zu distinct present times",
               counted, presents.size());
  }
  return 0;
}
