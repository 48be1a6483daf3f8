#include "fpsbench/layer_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fpsbench/latency.h"
#include "package_pattern.h"

namespace {

using namespace std::string_literals;

std::vector<std::string> namesOf(const std::vector<FrameData>& list) {
  std::vector<std::string> names;
  for (const FrameData& frameData : list) {
    EXPECT_EQ(frameData.timeStamp, 0u);
    EXPECT_EQ(frameData.lastTimeStamp, 0u);
    names.push_back(frameData.name);
  }
  return names;
}

TEST(LayerList, OneEntryPerDistinctLineInOrderOfFirstAppearance) {
  const std::string longName(1500, 'x');
  const struct {
    std::string listing;
    std::vector<std::string> names;
  } cases[] = {
      {"", {}},
      {"a\nb\na\nc\nb\n", {"a\n", "b\n", "c\n"}},
      // Exact bytes: a trailing space or a carriage return makes another name.
      {"a\na \na\r\n", {"a\n", "a \n", "a\r\n"}},
      // The last line may lack its line feed, and is then not the same line.
      {"a\nb\na", {"a\n", "b\n", "a"}},
      {"a\n\n\n", {"a\n", "\n"}},
      // fgets pieces: 1023 bytes, then the rest of the line; a repeat of the
      // long line repeats both pieces.
      {longName + "\n" + longName + "\n",
       {std::string(1023, 'x'), std::string(477, 'x') + "\n"}},
      // A line is a C string: it ends at its first zero byte.
      {"ab\0cd\nab\n"s, {"ab", "ab\n"}},
      {"\0\n"s, {""}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(namesOf(layerListFromOutput(c.listing)), c.names) << "listing: " << c.listing;
  }
}

TEST(LayerList, BuilderStartsAfreshAfterClear) {
  std::vector<FrameData> list;
  LayerListBuilder builder(&list);
  builder.add("a\n", 2);
  builder.add("a\n", 2);
  builder.clear();
  builder.add("a\n", 2);
  builder.add("b\n", 2);
  EXPECT_EQ(namesOf(list), (std::vector<std::string>{"a\n", "b\n"}));
}

TEST(LayerName, Android15ListingsAreUnwrappedToTheBareName) {
  const struct {
    std::string line;
    std::string name;
    bool unwrapped;
  } cases[] = {
      {"RequestedLayerState{SurfaceView[a.b/a.b.Main](BLAST)#148 parentId=147 z=0}",
       "SurfaceView[a.b/a.b.Main](BLAST)#148", true},
      {"RequestedLayerState{Background for SurfaceView[a.b/a.b.Main]#149 parentId=12 "
       "relativeParentId=-1 mirrorId=3 !handle z=-2 layerStack=0}",
       "Background for SurfaceView[a.b/a.b.Main]#149", true},
      {"RequestedLayerState{Display 0 name=\"Built-in Screen\"#2}",
       "Display 0 name=\"Built-in Screen\"#2", true},
      {"RequestedLayerState{odd {braces} z=5 inside#7 !handle}", "odd {braces} z=5 inside#7", true},
      {"RequestedLayerState{name z=}", "name z=", true},
      {"RequestedLayerState{name zz=4}", "name zz=4", true},
      {"RequestedLayerState{}", "", true},
      // Not the shape: as it came.
      {"RequestedLayerState{no closing brace z=1", "RequestedLayerState{no closing brace z=1",
       false},
      {"SurfaceView[a.b/a.b.Main](BLAST)#148", "SurfaceView[a.b/a.b.Main](BLAST)#148", false},
      {" RequestedLayerState{x}", " RequestedLayerState{x}", false},
  };
  for (const auto& c : cases) {
    std::string name = c.line;
    EXPECT_EQ(unwrapLayerName(&name), c.unwrapped) << c.line;
    EXPECT_EQ(name, c.name) << c.line;
  }
  // In the layer list, an unwrapped name stands with a line feed, so that
  // the latency command and GET_FPS get the bare name, and the pattern
  // searches it.
  std::vector<FrameData> list;
  LayerListBuilder builder(&list);
  const PackagePattern pattern("Main](BLAST)#148$");
  for (const std::string& line :
       {"RequestedLayerState{SurfaceView[a.b/a.b.Main](BLAST)#148 z=1}\n"s,
        "SurfaceView[a.b/a.b.Main](BLAST)#148\n"s,
        "RequestedLayerState{SurfaceView[a.b/a.b.Main]#147 parentId=3}\n"s}) {
    builder.addListed(line.data(), line.size(), &pattern);
  }
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].name, "SurfaceView[a.b/a.b.Main](BLAST)#148\n");
  EXPECT_EQ(layerNameOf(list[0]), "SurfaceView[a.b/a.b.Main](BLAST)#148");
}

}  // namespace
