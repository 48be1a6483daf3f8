#include "fpsbench/layer_list.h"

#include <functional>
#include <string_view>

#include "fpsbench/line_splitter.h"
#include "package_pattern.h"

LayerListBuilder::LayerListBuilder(std::vector<FrameData>* list)
    : list_(list), listed_(0, NameHash{list}, NameEqual{list}) {}

size_t LayerListBuilder::NameHash::operator()(size_t i) const {
  return std::hash<std::string_view>()((*list)[i].name);
}

bool LayerListBuilder::NameEqual::operator()(size_t a, size_t b) const {
  return (*list)[a].name == (*list)[b].name;
}

void LayerListBuilder::clear() {
  listed_.clear();
  list_->clear();
}

void LayerListBuilder::add(const char* line, size_t len) {
  FrameData frameData;
  frameData.name.assign(line, len);
  list_->push_back(std::move(frameData));
  if (!listed_.insert(list_->size() - 1).second) list_->pop_back();
}

namespace {

bool isAttribute(std::string_view word) {
  if (word == "!handle") return true;
  const size_t eq = word.find('=');
  if (eq == std::string_view::npos) return false;
  const std::string_view key = word.substr(0, eq);
  if (key != "parentId" && key != "relativeParentId" && key != "mirrorId" && key != "z" &&
      key != "layerStack") {
    return false;
  }
  std::string_view value = word.substr(eq + 1);
  if (!value.empty() && value.front() == '-') value.remove_prefix(1);
  return !value.empty() && value.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

bool unwrapLayerName(std::string* name) {
  static constexpr std::string_view kOpen = "RequestedLayerState{";
  const std::string_view line = *name;
  if (line.size() < kOpen.size() + 1 || line.compare(0, kOpen.size(), kOpen) != 0 ||
      line.back() != '}') {
    return false;
  }
  std::string_view bare = line.substr(kOpen.size(), line.size() - kOpen.size() - 1);
  // The attributes are words at the end; the name itself may end in
  // anything else.
  for (;;) {
    const size_t space = bare.rfind(' ');
    if (space == std::string_view::npos || !isAttribute(bare.substr(space + 1))) break;
    bare = bare.substr(0, space);
  }
  const size_t from = static_cast<size_t>(bare.data() - line.data());
  const size_t size = bare.size();
  name->erase(from + size);
  name->erase(0, from);
  return true;
}

void LayerListBuilder::addListed(const char* line, size_t len, const PackagePattern* pattern) {
  name_.assign(line, len > 0 ? len - 1 : 0);
  const bool unwrapped = unwrapLayerName(&name_);
  if (pattern != nullptr && !pattern->matches(name_)) return;
  if (unwrapped) {
    name_ += '\n';
    add(name_.data(), name_.size());
  } else {
    add(line, len);
  }
}

std::vector<FrameData> layerListFromOutput(const std::string& output) {
  std::vector<FrameData> list;
  LayerListBuilder builder(&list);
  LineSplitter lines;
  auto add = [&builder](const char* line, size_t len) { builder.addListed(line, len, nullptr); };
  lines.feed(output.data(), output.size(), add);
  lines.finish(add);
  return list;
}
