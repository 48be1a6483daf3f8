// A recording's reader and the report over any bytes:
//
// - nothing may crash, read out of bounds, leak or overflow (UBSan);
// - a recording that reads has a value of every series for every sample,
//   at times that only increase;
// - its page holds its data as JSON that parses, and no label ends a script
//   early: the page closes exactly the three scripts it opens (the data,
//   uPlot, its own).

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_common.h"
#include "html_report.h"
#include "recording.h"

namespace {

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> warnings;
  std::string error;
  const auto rec = perfprobe::parseRecording(text, "fuzz</script>.jsonl", &warnings, &error);
  if (!rec) {
    FUZZ_CHECK(!error.empty(), "no reason for %s", fuzz::show(text).c_str());
    return 0;
  }
  for (size_t k = 1; k < rec->timesS.size(); ++k) {
    FUZZ_CHECK(rec->timesS[k] > rec->timesS[k - 1], "times go back in %s", fuzz::show(text).c_str());
  }
  for (const auto& s : rec->series) {
    FUZZ_CHECK(s.values.size() == rec->timesS.size(), "series %s has %zu values for %zu samples",
               s.name.c_str(), s.values.size(), rec->timesS.size());
  }
  const std::vector<perfprobe::Recording> recordings{*rec};
  const std::string chart = perfprobe::chartData(recordings);
  FUZZ_CHECK(nlohmann::json::accept(chart), "chart data that is no JSON from %s",
             fuzz::show(text).c_str());
  const std::string page = perfprobe::reportHtml(recordings, "now");
  FUZZ_CHECK(count(page, "</script") == 3, "%zu script ends in the page of %s",
             count(page, "</script"), fuzz::show(text).c_str());
  return 0;
}
