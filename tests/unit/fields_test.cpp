#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fields.h"
#include "protocol.h"

namespace {

TEST(Fields, EachLineHasANameOfItsOwn) {
  std::set<std::string> names;
  auto add = [&](const field::Field& f) {
    const std::string name = f.family() ? std::string(f.name) + "*" + f.suffix : f.name;
    EXPECT_TRUE(names.insert(name).second) << name;
  };
  for (const field::Field* f : field::kStatsFields) add(*f);
  for (const field::Field* f : field::kFrameStatsFields) add(*f);
  // "truncated N" ends a reply that was cut; no field may be taken for it.
  EXPECT_EQ(names.count(kTruncated), 0u);
}

TEST(Fields, TellsAFamilysItemFromItsName) {
  const struct {
    const field::Field* family;
    std::string name;
    std::string item;
  } cases[] = {
      {&field::kCoreKhz, "cpu3_khz", "3"},
      {&field::kCoreKhz, "cpu12_khz", "12"},
      {&field::kCoreMaxKhz, "cpu3_max_khz", "3"},
      // The reader judges whether it is an item: the names overlap.
      {&field::kCoreKhz, "cpu3_max_khz", "3_max"},
      {&field::kZoneTempC, "temp_skin_therm_c", "skin_therm"},
      {&field::kCoreKhz, "cpu_khz", ""},
      {&field::kZoneTempC, "temp__c", ""},
      {&field::kZoneTempC, "temp_c", ""},
      {&field::kCoreKhz, "gpu_khz", ""},
      {&field::kGpuKhz, "gpu_khz", ""},  // a field has no items
  };
  for (const auto& c : cases) EXPECT_EQ(field::itemOf(*c.family, c.name), c.item) << c.name;
}

// The rows of the field table that follows `heading` in the protocol's
// reference: `name` | unit | format, each cell trimmed.
std::vector<std::vector<std::string>> fieldTable(const std::string& doc, const std::string& heading) {
  std::vector<std::vector<std::string>> rows;
  const size_t at = doc.find("\n## " + heading);
  if (at == std::string::npos) return rows;
  const size_t table = doc.find("\n| field | unit | format |", at);
  const size_t next = doc.find("\n## ", at + 1);
  if (table == std::string::npos || (next != std::string::npos && table > next)) return rows;
  std::istringstream lines(doc.substr(table + 1));
  std::string line;
  std::getline(lines, line);  // the head
  std::getline(lines, line);  // its rule
  while (std::getline(lines, line) && line.rfind("| ", 0) == 0) {
    std::vector<std::string> cells;
    std::istringstream parts(line.substr(1));
    std::string cell;
    while (std::getline(parts, cell, '|')) {
      cell.erase(0, cell.find_first_not_of(' '));
      cell.erase(cell.find_last_not_of(' ') + 1);
      cells.push_back(cell);
    }
    cells.resize(3);
    rows.push_back(cells);
  }
  return rows;
}

std::vector<std::string> documented(const field::Field& f) {
  static const char* const kFormats[] = {"integer", "1 decimal", "2 decimals", "text"};
  std::string name = f.name;
  if (f.family()) {
    // The item's placeholder: a CPU's number or a zone's name.
    name += std::string(f.name) == field::kCoreKhz.name ? "<N>" : "<zone>";
    name += f.suffix;
  }
  return {"`" + name + "`", *f.unit ? f.unit : "—", kFormats[static_cast<int>(f.format)]};
}

// docs/protocol.md lists every field of both replies, in their order, with
// the unit and format the daemon writes it in.
TEST(Fields, TheProtocolsReferenceListsEachAsItIs) {
  std::ifstream in(std::string(PERFPROBE_SOURCE_DIR) + "/docs/protocol.md");
  ASSERT_TRUE(in) << "no docs/protocol.md";
  std::stringstream doc;
  doc << in.rdbuf();
  const struct {
    std::string heading;
    std::vector<const field::Field*> fields;
  } replies[] = {
      {"`GET_FRAMESTATS`",
       {std::begin(field::kFrameStatsFields), std::end(field::kFrameStatsFields)}},
      {"`GET_STATS`", {std::begin(field::kStatsFields), std::end(field::kStatsFields)}},
  };
  for (const auto& reply : replies) {
    std::vector<std::vector<std::string>> want;
    for (const field::Field* f : reply.fields) want.push_back(documented(*f));
    EXPECT_EQ(fieldTable(doc.str(), reply.heading), want) << reply.heading;
  }
}

}  // namespace
