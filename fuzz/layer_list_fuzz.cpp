// The layer list of a listing output, held to the list that fgets, a
// regular expression for Android 15's wrapped names and a linear search for
// duplicates make of the same bytes, whether the output comes whole or in
// pieces.

#include <stddef.h>
#include <stdint.h>

#include <regex>
#include <string>
#include <vector>

#include "fpsbench/layer_list.h"
#include "fpsbench/line_splitter.h"
#include "fuzz_common.h"

namespace {

// A wrapped name stands for its bare name and a line feed; any other line
// for itself. The attributes are the words at the end of the braces that
// this expression matches.
std::string modelEntry(const std::string& line) {
  static const std::regex attribute("!handle|(parentId|relativeParentId|mirrorId|z|layerStack)=-?[0-9]+");
  const std::string open = "RequestedLayerState{";
  const std::string name = line.empty() ? line : line.substr(0, line.size() - 1);
  if (name.size() <= open.size() || name.compare(0, open.size(), open) != 0 || name.back() != '}') {
    return line;
  }
  std::string bare = name.substr(open.size(), name.size() - open.size() - 1);
  for (size_t space; (space = bare.rfind(' ')) != std::string::npos &&
                     std::regex_match(bare.substr(space + 1), attribute);) {
    bare.erase(space);
  }
  return bare + "\n";
}

std::vector<std::string> modelList(const uint8_t* data, size_t size) {
  std::vector<std::string> list;
  for (const std::string& fgetsLine : fuzz::fgetsLines(data, size)) {
    const std::string line = modelEntry(fgetsLine);
    bool seen = false;
    for (const std::string& name : list) {
      if (name == line) {
        seen = true;
        break;
      }
    }
    if (!seen) list.push_back(line);
  }
  return list;
}

void checkSame(const char* how, const std::vector<FrameData>& got,
               const std::vector<std::string>& expected) {
  FUZZ_CHECK(got.size() == expected.size(), "%s: %zu layers, expected %zu", how, got.size(),
             expected.size());
  for (size_t i = 0; i < got.size(); ++i) {
    FUZZ_CHECK(got[i].name == expected[i], "%s: layer %zu is %s, expected %s", how, i,
               fuzz::show(got[i].name).c_str(), fuzz::show(expected[i]).c_str());
    FUZZ_CHECK(got[i].timeStamp == 0 && got[i].lastTimeStamp == 0,
               "%s: layer %zu starts with times %llu/%llu", how, i,
               static_cast<unsigned long long>(got[i].timeStamp),
               static_cast<unsigned long long>(got[i].lastTimeStamp));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> expected = modelList(data, size);

  const std::string output(reinterpret_cast<const char*>(data), size);
  checkSame("whole output", layerListFromOutput(output), expected);

  // One builder for two passes: clear() must forget the names of the first,
  // as a collector that reuses it on every tick relies on.
  std::vector<FrameData> list;
  LayerListBuilder builder(&list);
  auto add = [&builder](const char* line, size_t len) { builder.addListed(line, len, nullptr); };
  for (uint64_t pass = 0; pass < 2; ++pass) {
    builder.clear();
    LineSplitter lines;
    fuzz::ChunkSizes sizes(data, size, pass);
    fuzz::feedInChunks(lines, data, size, sizes, add);
    checkSame(pass == 0 ? "in chunks" : "in chunks after clear()", list, expected);
  }
  return 0;
}
