#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "catalog.h"
#include "device_stats.h"
#include "fields.h"
#include "html_report.h"
#include "metrics.h"
#include "plot.h"
#include "protocol.h"
#include "recording.h"
#include "replies.h"
#include "report.h"
#include "sources.h"

namespace {

using namespace perfprobe;

bool has(const std::string& text, const std::string& piece) {
  return text.find(piece) != std::string::npos;
}

// The heads of a live table's header.
std::set<std::string> heads(const std::string& header) {
  std::set<std::string> words;
  size_t from = 0;
  while ((from = header.find_first_not_of(" \n", from)) != std::string::npos) {
    const size_t end = header.find_first_of(" \n", from);
    words.insert(header.substr(from, end - from));
    from = end;
  }
  return words;
}

// A value of the field's format, distinct for each line, so that each
// output can be searched for it.
std::string valueOf(const field::Field& f, size_t n) {
  switch (f.format) {
    case field::Format::kInteger:
      return std::to_string(100 + n);
    case field::Format::kTenths:
      return std::to_string(10 + n) + ".5";
    case field::Format::kHundredths:
      return std::to_string(10 + n) + ".25";
    case field::Format::kText:
      return "text " + std::to_string(n);
  }
  return "";
}

// Replies that hold every field of fields.h: two CPUs of one cluster, a
// skin and a battery zone, each value known.
std::string replyOf(const field::Field* const* fields, size_t count) {
  std::string reply;
  size_t n = 0;
  for (size_t i = 0; i < count; ++i) {
    const field::Field& f = *fields[i];
    if (!f.family()) {
      reply += std::string(f.name) + " " + valueOf(f, n++) + "\n";
      continue;
    }
    const bool cpus = std::string(f.name) == field::kCoreKhz.name;
    for (const std::string& item : cpus ? std::vector<std::string>{"0", "1"}
                                       : std::vector<std::string>{"skin_therm", "battery"}) {
      // The CPUs share a clock, and its cluster is named by the first.
      const std::string value = &f == &field::kCoreCluster ? "0" : valueOf(f, n++);
      reply += f.name + item + f.suffix + " " + value + "\n";
    }
  }
  return reply;
}

std::string statsReply() { return replyOf(field::kStatsFields, std::size(field::kStatsFields)); }

std::string frameStatsReply() {
  std::string reply =
      replyOf(field::kFrameStatsFields, std::size(field::kFrameStatsFields));
  // A real state, so that the exporter sees a collection, and a word each
  // text of few words knows.
  const auto set = [&reply](const field::Field& f, const std::string& value) {
    const std::string head = "\n" + std::string(f.name) + " ";
    const size_t at = ("\n" + reply).find(head);
    reply.replace(at, reply.find('\n', at) - at, head.substr(1) + value);
  };
  set(field::kState, "collecting");
  for (const Metric* row : rowsFrom(From::kFrameStats)) {
    if (!row->words.empty()) set(*row->field, row->words.back().text);
  }
  return reply;
}

// A daemon that gives both replies, each time.
Ask daemon() {
  return [](const std::string& request, const Channel::Accept& accept) -> std::optional<std::string> {
    std::string reply;
    if (has(request, kGetFrameStats)) {
      reply = frameStatsReply();
    } else if (has(request, kGetStats)) {
      reply = statsReply();
    } else {
      return std::nullopt;
    }
    if (!accept(reply)) return std::nullopt;
    return reply;
  };
}

// The monitor's table of both replies, over three samples.
Table monitorTable() {
  Sources sources(monitorSources(daemon()));
  Table table;
  table.kinds = *sources.start(daemon());
  bool answered = false;
  for (int k = 1; k <= 3; ++k) table.append(k, sources.sample(daemon(), &answered));
  return table;
}

// Every wire field but these reaches `stats`, the monitor's series and the
// exporter; each exception says where it goes instead.
const std::map<const field::Field*, std::set<std::string>> kExceptions = {
    // The clock's limit and the cluster reach the monitor as the series of
    // each cluster; the cluster is a label of the exporter's CPU series.
    {&field::kCoreMaxKhz, {"series"}},
    {&field::kCoreCluster, {"series", "exporter"}},
    // Texts are no series: the exporter makes info series of them.
    {&field::kGpuSource, {"series"}},
    {&field::kBatteryStatus, {"series"}},
    {&field::kState, {"series"}},
    // The layer's name is shown by `send`, and would only make an
    // unbounded label of the exporter's.
    {&field::kLayer, {"series", "exporter"}},
};

TEST(Catalog, EveryWireFieldReachesEachOutput) {
  const Reading stats = *parseDeviceStats(statsReply());
  const std::string text = statsText(stats);
  const nlohmann::json json = nlohmann::json::parse(statsJson(stats));
  const Table table = monitorTable();
  Samples samples;
  renderStats("d", stats, &samples);
  renderFrames("d", *parseFrameStats(frameStatsReply()), &samples);
  const std::string page = exposition({&samples});

  auto check = [&](const field::Field& f, bool inStats) {
    SCOPED_TRACE(std::string(f.name) + (f.family() ? std::string("*") + f.suffix : ""));
    const auto exempt = kExceptions.count(&f) ? kExceptions.at(&f) : std::set<std::string>();
    std::vector<const Metric*> rows;
    for (const Metric& row : catalog()) {
      if (row.field == &f && row.from == (inStats ? From::kStats : From::kFrameStats)) {
        rows.push_back(&row);
      }
    }
    ASSERT_FALSE(rows.empty()) << "no row of the catalog";
    const std::string line = f.family() ? std::string(f.name) + (inStats && std::string(f.name) ==
                                                                              field::kCoreKhz.name
                                                                          ? "0"
                                                                          : "skin_therm") +
                                              f.suffix
                                        : std::string(f.name);
    if (inStats) {
      EXPECT_TRUE(json.contains(line)) << "not in stats --json";
      const bool shown = std::any_of(rows.begin(), rows.end(), [&](const Metric* row) {
        return row->section != Section::kNone && (row->label.empty() || has(text, row->label));
      });
      EXPECT_TRUE(shown) << "not in stats:\n" << text;
    }
    if (!exempt.count("series")) {
      bool found = false;
      for (const Kind& kind : table.kinds) {
        for (const Metric* row : rows) found = found || kind.metric == row;
      }
      EXPECT_TRUE(found) << "no series of the monitor";
    }
    if (!exempt.count("exporter")) {
      const bool exported = std::any_of(rows.begin(), rows.end(), [&](const Metric* row) {
        return !row->promName.empty() && has(page, "\n" + row->promName + "{");
      });
      EXPECT_TRUE(exported) << "not on the exporter's page";
    }
  };
  for (const field::Field* f : field::kStatsFields) check(*f, true);
  for (const field::Field* f : field::kFrameStatsFields) check(*f, false);
}

// Each row of the catalog, held against every output it declares: a row that
// says it is live, drawn, charted, summed up or exported must be so.
TEST(Catalog, EachRowReachesTheOutputsItDeclares) {
  const Table table = monitorTable();
  const std::string csv = csvHeader(table);
  const nlohmann::json sample = nlohmann::json::parse(jsonSample(table, 0));
  const std::set<std::string> live = heads(liveHeader(table));
  const std::string summary = summaryText(table, 1);
  const nlohmann::json jsonSum = nlohmann::json::parse(jsonSummary(table, 1))["summary"];
  const std::string plot = plotScript("data", "out.png", "t", table);

  RecordingMeta meta;
  meta.host = "127.0.0.1";
  meta.port = kPort;
  std::string text = recordingHeader(meta, table);
  for (size_t k = 0; k < table.size(); ++k) text += recordingSample(table, k);
  text += jsonSummary(table, 1);
  std::vector<std::string> warnings;
  std::string error;
  const auto rec = parseRecording(text, "run.jsonl", &warnings, &error);
  ASSERT_TRUE(rec.has_value()) << error;
  EXPECT_EQ(warnings, std::vector<std::string>{});
  const nlohmann::json charts = nlohmann::json::parse(chartData({*rec}))["recordings"][0]["charts"];
  std::set<std::string> summaryLabels;
  for (const SummaryRow& row : summaryRows({*rec})) {
    if (std::any_of(row.cells.begin(), row.cells.end(), [](const auto& c) { return c.has_value(); })) {
      summaryLabels.insert(row.label);
    }
  }

  for (const Kind& kind : table.kinds) {
    ASSERT_NE(kind.metric, nullptr);
    const Metric& row = *kind.metric;
    SCOPED_TRACE(row.key());
    ASSERT_FALSE(kind.series.empty());
    for (const Series& series : kind.series) {
      SCOPED_TRACE(series.name);
      EXPECT_TRUE(has(csv, "," + series.name + ",") || has(csv, "," + series.name + "\n"));
      if (kind.group) {
        EXPECT_TRUE(sample.contains(kind.group->sampleKey));
      } else {
        EXPECT_TRUE(sample.contains(series.name));
      }
      EXPECT_EQ(live.count(liveHead(series)), row.live ? 1u : 0u);
      // Any series may be chosen for the live line.
      Table chosen = table;
      std::string why;
      EXPECT_TRUE(chooseLive(chosen, series.name, &why)) << why;
      EXPECT_EQ(heads(liveHeader(chosen)).count(liveHead(series)), 1u);

      const Recording::Series* recorded = rec->find(series.name);
      ASSERT_NE(recorded, nullptr) << "not in the recording";
      EXPECT_EQ(recorded->row, &row);
      EXPECT_EQ(recorded->item, series.item);

      if (series.drawn) {
        EXPECT_TRUE(has(plot, "title '" + series.title + "'")) << plot;
      }
      if (!row.figures.empty() && series.summarized) {
        EXPECT_TRUE(has(summary, series.title)) << summary;
        EXPECT_TRUE(kind.group ? jsonSum.contains(kind.group->summaryKey)
                               : jsonSum.contains(series.name));
      }
    }
    if (row.plot != Chart::kNone) {
      EXPECT_TRUE(has(plot, "set ylabel '" + chartDef(row.plot, &row).ylabel + "'")) << plot;
    }
    if (row.chart != Chart::kNone) {
      const std::string id = chartDef(row.chart, &row).id;
      ASSERT_TRUE(charts.contains(id)) << charts.dump();
      const std::string label = row.chartLabel.empty() ? kind.series.front().title : row.chartLabel;
      const bool drawn = std::any_of(charts[id].begin(), charts[id].end(),
                                     [&](const nlohmann::json& l) { return l["label"] == label; });
      EXPECT_TRUE(drawn) << label << " not on " << charts[id].dump();
    }
    for (const SummaryLine& line : row.summary) {
      const bool perItem = row.derive != Derive::kValue && row.derive != Derive::kHottest;
      const std::string label = (perItem ? kind.series.front().title : "") + line.label;
      EXPECT_TRUE(summaryLabels.count(label)) << label << " not in the report's summary";
    }
  }
}

// A recording of the first version names its series and nothing more: each
// is told from its name, as the catalog would have made it.
TEST(Catalog, TellsARowFromAColumnOfAnOldRecording) {
  const struct {
    std::string column;
    std::string key;  // "": no row
    std::string item;
  } cases[] = {
      {"fps", "fps", ""},
      {"cpu3_khz", kGetSimple, "3"},  // the one a report draws, where two make it
      {"cpu12_load_pct", "cpu*_load_pct", "12"},
      {"cluster0-3_khz", "cluster*_khz", "0-3"},
      {"cluster0-1+4_max_khz", "cluster*_max_khz", "0-1+4"},
      {"cluster4-7_load_pct", "cluster*_load_pct", "4-7"},
      {"temp_skin_therm_c", "temp_*_c", "skin_therm"},
      {"temp_hottest_c", "temp_hottest_c", ""},
      {"battery_mw", "battery_mw", ""},
      {"cpux_khz", "", ""},
      {"cluster_khz", "", ""},
      {"temp__c", "", ""},
      {"gpu_source", "", ""},  // a text is no series
      {"fan_rpm", "", ""},
  };
  for (const auto& c : cases) {
    const Metric* row = rowOfColumn(c.column);
    if (c.key.empty()) {
      EXPECT_EQ(row, nullptr) << c.column << " " << (row ? row->key() : "");
      continue;
    }
    ASSERT_NE(row, nullptr) << c.column;
    EXPECT_EQ(row->key(), c.key) << c.column;
    EXPECT_EQ(rowByKey(c.key), row) << c.column;
    EXPECT_EQ(itemOfColumn(*row, c.column), c.item) << c.column;
  }
}

TEST(Catalog, EachRowHasAKeyOfItsOwn) {
  std::set<std::string> keys;
  for (const Metric& row : catalog()) {
    EXPECT_TRUE(keys.insert(row.key()).second) << row.key();
    EXPECT_EQ(rowByKey(row.key()), &row) << row.key();
  }
}

}  // namespace
