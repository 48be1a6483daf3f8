#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <unordered_set>
#include <vector>

class PackagePattern;

// The compositor's layers as "dumpsys SurfaceFlinger --list" names them, one
// a line, made into the collector's layer list.

// One compositor layer of the listing.
struct FrameData {
  // The layer's line as read from the listing, line feed included.
  std::string name;
  // Whole seconds of the timing line being examined.
  uint64_t timeStamp = 0;
  // The second being counted; 0 while no second has been opened.
  uint64_t lastTimeStamp = 0;
};

// The listing command, as an argument vector for Command::start: what the
// shell would make of "dumpsys SurfaceFlinger --list".
inline constexpr const char* kListArguments[] = {"dumpsys", "SurfaceFlinger", "--list", nullptr};

// Android 15 lists every layer as "RequestedLayerState{NAME ATTRIBUTES}",
// where ATTRIBUTES are some of " parentId=N", " relativeParentId=N",
// " mirrorId=N", " !handle", " z=N" and " layerStack=N", in that order, and
// NAME may hold spaces and braces. For a name of that shape, leaves the bare
// NAME in *name, which is what the latency command knows, and returns true;
// any other name is left as it is.
bool unwrapLayerName(std::string* name);

// Builds a layer list from listing lines: one entry per distinct line (line
// feed included), in the order of first appearance, time fields 0.
class LayerListBuilder {
 public:
  explicit LayerListBuilder(std::vector<FrameData>* list);
  void clear();
  void add(const char* line, size_t len);
  // A listing line, when pattern (if any) matches its layer name: the line
  // without its last character, unwrapped. An unwrapped name goes into the
  // list as the name and a line feed, any other line as it came.
  void addListed(const char* line, size_t len, const PackagePattern* pattern);

 private:
  // Indexes into *list_, hashed and compared by name, so that a listing of
  // any length is deduplicated in linear time.
  struct NameHash {
    const std::vector<FrameData>* list;
    size_t operator()(size_t i) const;
  };
  struct NameEqual {
    const std::vector<FrameData>* list;
    bool operator()(size_t a, size_t b) const;
  };
  std::vector<FrameData>* list_;
  std::unordered_set<size_t, NameHash, NameEqual> listed_;
  // The layer name of the line being added, kept for its buffer.
  std::string name_;
};

// The layer list of a whole listing output.
std::vector<FrameData> layerListFromOutput(const std::string& output);
