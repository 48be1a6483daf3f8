#include "catalog.h"

#include <ctype.h>

#include <algorithm>
#include <array>

#include "protocol.h"
#include "text.h"

namespace perfprobe {

namespace {

// GET_FPS' rate is a whole number; it fills the column of GET_FRAMESTATS'.
constexpr field::Field kFpsRate{field::kFps.name, nullptr, "", field::Format::kInteger};

// The frame rate a game shows as slow: the summary counts the seconds below
// it and the plot draws it.
constexpr double kSlowFps = 30;

// A catalog row, written as one expression of chained settings.
class Row {
 public:
  Row(From from, const field::Field& f, Derive derive = Derive::kValue) {
    m_.from = from;
    m_.field = &f;
    m_.derive = derive;
  }
  Row& text(Section section, std::string label) {
    m_.section = section;
    m_.label = std::move(label);
    return *this;
  }
  Row& title(std::string title) {
    m_.title = std::move(title);
    return *this;
  }
  Row& inMhz() {
    m_.shownUnit = "MHz";
    m_.shownPer = 1000;
    return *this;
  }
  Row& live(int width = 7) {
    m_.live = true;
    m_.liveWidth = width;
    return *this;
  }
  Row& width(int width) {
    m_.liveWidth = width;
    return *this;
  }
  Row& group(std::string sampleKey, std::string summaryKey, std::string title) {
    m_.group = Kind::Group{std::move(sampleKey), std::move(summaryKey), std::move(title)};
    return *this;
  }
  Row& figures(std::vector<Figure> figures) {
    m_.figures = std::move(figures);
    return *this;
  }
  Row& plot(Chart chart) {
    m_.plot = chart;
    return *this;
  }
  Row& watched(std::vector<std::string> parts) {
    m_.watched = std::move(parts);
    return *this;
  }
  Row& chart(Chart chart, std::string label = "") {
    m_.chart = chart;
    m_.chartLabel = std::move(label);
    return *this;
  }
  Row& dashed() {
    m_.dashed = true;
    return *this;
  }
  Row& percentAxis() {
    m_.percentAxis = true;
    return *this;
  }
  Row& groupEqualItems() {
    m_.groupEqualItems = true;
    return *this;
  }
  Row& words(std::vector<Word> words) {
    m_.words = std::move(words);
    return *this;
  }
  Row& summary(std::vector<SummaryLine> lines) {
    m_.summary = std::move(lines);
    return *this;
  }
  Row& prometheus(std::string name, std::string help, double scale = 1, std::string label = "") {
    m_.promName = std::move(name);
    m_.promHelp = std::move(help);
    m_.promScale = scale;
    m_.promLabel = std::move(label);
    return *this;
  }
  Row& withCluster() {
    m_.promCluster = true;
    return *this;
  }
  // Shown by `stats` and exported, but no series of the monitor: the rows
  // of the clusters stand for it there.
  Row& noSeries() {
    m_.series = false;
    return *this;
  }
  operator Metric() const { return m_; }

 private:
  Metric m_;
};

Figure mean(const char* key, const char* suffix) {
  Figure f{Figure::kMean, key, "mean"};
  f.suffix = suffix;
  return f;
}

Figure max(const char* key, const char* suffix) {
  Figure f{Figure::kMax, key, "max"};
  f.suffix = suffix;
  return f;
}

// A count per 10 minutes, or a share of the time, of the windows sampled.
Figure perWindows(Figure::What what, const char* key, const char* text, double per,
                  const char* suffix = "") {
  Figure f{what, key, text};
  f.over = field::kWindowMs.name;
  f.per = per;
  f.suffix = suffix;
  return f;
}

const std::vector<Figure> kFpsFigures = {
    {Figure::kCount, "samples", "with a frame rate"},
    {Figure::kMin, "min", "min"},
    {Figure::kMedian, "median", "median"},
    {Figure::kMean, "mean", "mean"},
    {Figure::kP5, "p5", "5th percentile"},
    {Figure::kSecondsBelow, "seconds_below_30", "below 30 FPS", kSlowFps},
};

const std::vector<SummaryLine> kFpsSummary = {
    {"Frames", "FPS median", {Figure::kMedian, "", ""}, "%.1f", "", 1},
    {"Frames", "FPS 5th percentile", {Figure::kP5, "", ""}, "%.1f", "", 1},
    {"Frames", "FPS minimum", {Figure::kMin, "", ""}, "%.1f", "", 1},
};

const std::vector<SummaryLine> kClusterSummary = {
    {"CPU", " clock mean", {Figure::kMean, "", ""}, "%.0f", " MHz", 0},
    {"CPU", " clock max", {Figure::kMax, "", ""}, "%.0f", " MHz", 0},
};

SummaryLine line(const char* group, const char* label, Figure::What what, const char* format,
                 const char* unit, int better) {
  return {group, label, {what, "", ""}, format, unit, better};
}

SummaryLine ratioLine(const char* label, double per, const char* format, const char* unit,
                      bool whenRecorded = false) {
  return {"Frames", label, perWindows(Figure::kRatio, "", "", per), format, unit, -1, whenRecorded};
}

std::vector<Metric> makeCatalog() {
  using field::Format;
  const From S = From::kStats;
  const From F = From::kFrameStats;
  const Figure meanPct = mean("mean_pct", "%");
  const Figure maxPct = max("max_pct", "%");
  Figure hottest = max("max_c", " °C");
  hottest.where = "zone";
  hottest.of = &field::kZoneTempC;
  Figure drop{Figure::kDrop, "drop_pct", "drop"};
  drop.suffix = "%";
  SummaryLine hottestLine = line("Temperature", "hottest", Figure::kMax, "%.1f", " °C", -1);
  hottestLine.figure.of = &field::kZoneTempC;
  return {
      // GET_STATS, in the order of the monitor's series.
      Row(S, field::kCoreKhz, Derive::kEach)
          .text(Section::kCpu, "clock")
          .title("cpu")
          .inMhz()
          .group("cpu_khz", "cpus", "CPU")
          .figures({{Figure::kMean, "mean_mhz", "mean MHz"}, {Figure::kMax, "max_mhz", "max MHz"}})
          .prometheus("perfprobe_cpu_frequency_hertz", "Current clock of each CPU.", 1e3, "cpu")
          .withCluster(),
      Row(S, field::kCoreMaxKhz, Derive::kEach)
          .text(Section::kCpu, "max")
          .noSeries()
          .prometheus("perfprobe_cpu_max_frequency_hertz", "Highest clock each CPU may run at now.",
                      1e3, "cpu")
          .withCluster(),
      Row(S, field::kCoreCluster, Derive::kEach).text(Section::kCpu, "cluster").noSeries(),
      Row(S, field::kCoreKhz, Derive::kCluster)
          .inMhz()
          .live()
          .plot(Chart::kCpuClock)
          .chart(Chart::kCpuClock)
          .summary(kClusterSummary),
      // What a daemon without GET_STATS gives, beside what stands for it.
      Row(From::kCpuReport, field::kCoreKhz, Derive::kEach)
          .title("cpu")
          .inMhz()
          .live()
          .group("cpu_khz", "cpus", "CPU")
          .figures({{Figure::kMean, "mean_mhz", "mean MHz"}, {Figure::kMax, "max_mhz", "max MHz"}})
          .plot(Chart::kCpuClock)
          .chart(Chart::kCpuClock)
          .groupEqualItems()
          .summary(kClusterSummary),
      Row(S, field::kCoreMaxKhz, Derive::kCluster)
          .title(" max")
          .inMhz()
          .chart(Chart::kCpuClock)
          .dashed(),
      Row(S, field::kCpuLoadPct)
          .text(Section::kCpu, "load")
          .title("CPU load")
          .live()
          .figures({meanPct, maxPct})
          .plot(Chart::kLoad)
          .chart(Chart::kLoad, "CPU")
          .summary({line("CPU", "load mean", Figure::kMean, "%.1f", " %", -1),
                    line("CPU", "load max", Figure::kMax, "%.1f", " %", -1)})
          .prometheus("perfprobe_device_cpu_load_ratio",
                      "Busy fraction of all CPUs since the previous poll.", 1e-2),
      Row(S, field::kCoreLoadPct, Derive::kClusterMean)
          .title(" load")
          .figures({meanPct, maxPct})
          .plot(Chart::kLoad)
          .chart(Chart::kLoad),
      Row(S, field::kGpuSource)
          .text(Section::kGpu, "source")
          .prometheus("perfprobe_gpu_info",
                      "Where the GPU figures come from (kgsl, exynos, devfreq, none).", 1,
                      "source"),
      Row(S, field::kGpuBusyPct)
          .text(Section::kGpu, "busy")
          .title("GPU busy")
          .live()
          .figures({meanPct, maxPct})
          .plot(Chart::kLoad)
          .chart(Chart::kGpu)
          .percentAxis()
          .summary({line("GPU", "busy mean", Figure::kMean, "%.1f", " %", -1)})
          .prometheus("perfprobe_gpu_busy_ratio", "Busy fraction of the GPU.", 1e-2),
      Row(S, field::kCoreLoadPct, Derive::kEach)
          .text(Section::kCpu, "load")
          .title("cpu")
          .group("core_load_pct", "core_loads", "CPU")
          .prometheus("perfprobe_cpu_load_ratio",
                      "Busy fraction of each CPU since the previous poll.", 1e-2, "cpu"),
      Row(S, field::kGpuKhz)
          .text(Section::kGpu, "clock")
          .title("GPU")
          .inMhz()
          .plot(Chart::kGpu)
          .chart(Chart::kGpu, "GPU clock")
          .summary({line("GPU", "clock mean", Figure::kMean, "%.0f", " MHz", 0),
                    line("GPU", "clock max", Figure::kMax, "%.0f", " MHz", 0)})
          .prometheus("perfprobe_gpu_frequency_hertz", "Current GPU clock.", 1e3),
      Row(S, field::kGpuMaxKhz)
          .text(Section::kGpu, "max")
          .title("GPU max")
          .inMhz()
          .plot(Chart::kGpu)
          .chart(Chart::kGpu)
          .dashed()
          .prometheus("perfprobe_gpu_max_frequency_hertz", "Highest GPU clock allowed now.", 1e3),
      // The zones a tester watches beside the hottest one: the skin (what a
      // hand feels, and what many thermal policies cap at) and the battery.
      Row(S, field::kZoneTempC, Derive::kEach)
          .text(Section::kTemperatures, "")
          .watched({"skin", "batt"})
          .plot(Chart::kTemperature)
          .chart(Chart::kTemperature)
          .prometheus("perfprobe_temperature_celsius", "Temperature of each thermal zone.", 1,
                      "zone"),
      Row(S, field::kZoneTempC, Derive::kHottest)
          .title("hottest")
          .live()
          .figures({hottest})
          .plot(Chart::kTemperature)
          .chart(Chart::kTemperature)
          .summary({hottestLine}),
      Row(S, field::kBatteryMw)
          .text(Section::kBattery, "power")
          .title("power")
          .live()
          .figures({mean("mean_mw", " mW")})
          .plot(Chart::kPower)
          .chart(Chart::kPower)
          // Negative while the battery discharges: more power drawn is lower.
          .summary({line("Power", "battery power mean", Figure::kMean, "%.0f", " mW", 1)})
          .prometheus("perfprobe_battery_power_watts",
                      "Battery power: negative while discharging.", 1e-3),
      Row(S, field::kBatteryPct)
          .text(Section::kBattery, "level")
          .title("battery")
          .figures({drop})
          .summary({line("Power", "battery drop", Figure::kDrop, "%.0f", " %", -1)})
          .prometheus("perfprobe_battery_level_ratio", "Battery charge, as a fraction of full.",
                      1e-2),
      Row(S, field::kBatteryStatus)
          .text(Section::kBattery, "status")
          .prometheus("perfprobe_battery_info",
                      "Battery status (Charging, Discharging, Full, ...).", 1, "status"),
      Row(S, field::kBatteryMv)
          .text(Section::kBattery, "voltage")
          .title("battery")
          .prometheus("perfprobe_battery_voltage_volts", "Battery voltage.", 1e-3),
      Row(S, field::kBatteryMa)
          .text(Section::kBattery, "current")
          .title("battery")
          .prometheus("perfprobe_battery_current_amperes",
                      "Battery current: negative while discharging.", 1e-3),
      Row(S, field::kBatteryTempC)
          .text(Section::kBattery, "temperature")
          .title("battery_temp")
          .prometheus("perfprobe_battery_temperature_celsius", "Battery temperature."),
      Row(S, field::kMemAvailableKb)
          .text(Section::kDevice, "memory available")
          .title("mem_available")
          .prometheus("perfprobe_memory_available_bytes",
                      "Memory available for new work (MemAvailable).", 1024),
      Row(S, field::kAppPids)
          .text(Section::kApp, "processes")
          .title("app processes")
          .prometheus("perfprobe_app_processes", "Processes of the collected app."),
      Row(S, field::kAppThreads)
          .text(Section::kApp, "threads")
          .title("app threads")
          .prometheus("perfprobe_app_threads", "Threads of the collected app."),
      // What the app costs, and what measuring it does.
      Row(S, field::kAppCpuPct)
          .text(Section::kApp, "cpu")
          .title("app CPU")
          .figures({meanPct})
          .prometheus("perfprobe_app_cpu_ratio",
                      "CPU time of the collected app per second, as a fraction of one CPU.", 1e-2),
      Row(S, field::kProbeCpuPct)
          .text(Section::kDaemon, "cpu")
          .title("perfprobed CPU")
          .figures({meanPct})
          .prometheus("perfprobe_daemon_cpu_ratio",
                      "CPU time of the daemon and its commands per second, as a fraction of one "
                      "CPU.",
                      1e-2),
      Row(S, field::kAppRssKb)
          .text(Section::kApp, "rss")
          .title("app RSS")
          .figures({max("max_kb", " kB")})
          .prometheus("perfprobe_app_resident_memory_bytes",
                      "Resident memory of the collected app.", 1024),
      Row(S, field::kProbeRssKb)
          .text(Section::kDaemon, "rss")
          .title("perfprobed RSS")
          .figures({max("max_kb", " kB")})
          .prometheus("perfprobe_daemon_resident_memory_bytes", "Resident memory of the daemon.",
                      1024),
      Row(S, field::kUptimeMs)
          .text(Section::kDevice, "uptime")
          .title("uptime")
          .prometheus("perfprobe_device_uptime_seconds",
                      "The device's monotonic clock at the poll: time since boot, less time "
                      "asleep.",
                      1e-3),

      // GET_FRAMESTATS, in the order of its reply.
      Row(F, field::kFps)
          .title("FPS")
          .live(6)
          .figures(kFpsFigures)
          .plot(Chart::kFps)
          .chart(Chart::kFps)
          .summary(kFpsSummary)
          .prometheus("perfprobe_frame_rate_hertz",
                      "Frames per second of the app's layers in the last window."),
      // What a daemon without GET_FRAMESTATS gives, beside what stands for it.
      Row(From::kFps, kFpsRate)
          .title("FPS")
          .live(6)
          .figures(kFpsFigures)
          .plot(Chart::kFps)
          .chart(Chart::kFps)
          .summary(kFpsSummary),
      // What each sample covers: the divisor of the rates below.
      Row(F, field::kFrames)
          .title("frames")
          .prometheus("perfprobe_frames", "Frames of the app's layers in the last window."),
      Row(F, field::kWindowMs)
          .title("window")
          .prometheus("perfprobe_frame_window_seconds", "Length of the last window of frames.",
                      1e-3),
      Row(F, field::kFrameMsP50)
          .title("p50")
          .width(13)
          .plot(Chart::kFrameTime)
          .chart(Chart::kFrameTime)
          .prometheus("perfprobe_frame_time_p50_seconds",
                      "Median time between frames in the last window.", 1e-3),
      Row(F, field::kFrameMsP95)
          .title("p95")
          .live(13)
          .plot(Chart::kFrameTime)
          .chart(Chart::kFrameTime)
          .summary({line("Frames", "frame time p95 (median of samples)", Figure::kMedian, "%.2f",
                         " ms", -1)})
          .prometheus("perfprobe_frame_time_p95_seconds",
                      "95th percentile of the time between frames in the last window.", 1e-3),
      Row(F, field::kFrameMsMax)
          .title("max")
          .width(13)
          .plot(Chart::kFrameTime)
          .chart(Chart::kFrameTime)
          .summary({line("Frames", "longest frame", Figure::kMax, "%.2f", " ms", -1)})
          .prometheus("perfprobe_frame_time_max_seconds",
                      "Longest time between frames in the last window.", 1e-3),
      // Counts of frames, as a rate per 10 minutes of the windows sampled.
      Row(F, field::kJank)
          .title("jank")
          .live()
          .figures({perWindows(Figure::kRatio, "per_10_min", "per 10 min", 600000)})
          .summary({ratioLine("jank per 10 min", 600000, "%.1f", "")})
          .prometheus("perfprobe_jank_frames", "Frames that came late in the last window."),
      Row(F, field::kBigJank)
          .title("big jank")
          .figures({perWindows(Figure::kRatio, "per_10_min", "per 10 min", 600000)})
          .prometheus("perfprobe_big_jank_frames", "Frames that came very late in the last window."),
      Row(F, field::kMissedVsyncs)
          .title("missed vsyncs")
          .figures({perWindows(Figure::kRatio, "per_10_min", "per 10 min", 600000)})
          .prometheus("perfprobe_missed_vsyncs",
                      "Refreshes that showed no new frame in the last window."),
      Row(F, field::kRefreshHz)
          .title("refresh rate")
          .prometheus("perfprobe_refresh_rate_hertz", "Display refresh rate."),
      Row(F, field::kLayer),
      // Stutter: the share of the time sampled that went to jank frames.
      Row(F, field::kJankMs)
          .title("jank time")
          .figures({perWindows(Figure::kRatio, "stutter_pct", "stutter", 100, "%")})
          .summary({ratioLine("stutter", 100, "%.2f", " %")})
          .prometheus("perfprobe_jank_seconds", "Time lost to late frames in the last window.",
                      1e-3),
      // Where the frames came from: the compositor's time statistics hold
      // each frame time only as a bucket of whole milliseconds.
      Row(F, field::kSource)
          .title("frame source")
          .width(10)
          .words({{"latency"},
                  {"timestats",
                   "frame times from the compositor's time statistics: whole milliseconds"}})
          .summary({{"Frames", "frame source", {Figure::kCount, "", ""}, "", "", 0, true}})
          .prometheus("perfprobe_frame_source_info",
                      "Where the frame figures come from (latency: each frame's present time; "
                      "timestats: the compositor's histograms of whole milliseconds).",
                      1, "source"),
      // The phone's own verdict, which only its time statistics give.
      Row(F, field::kOsJank)
          .title("phone's jank")
          .figures({perWindows(Figure::kRatio, "per_10_min", "per 10 min", 600000)})
          .chart(Chart::kOsJank, "janky frames")
          .summary({ratioLine("phone's jank per 10 min", 600000, "%.1f", "", true)})
          .prometheus("perfprobe_os_jank_frames",
                      "Frames the device itself counted as janky in the last window."),
      Row(F, field::kOsJankApp)
          .title("phone's app jank")
          .figures({perWindows(Figure::kRatio, "per_10_min", "per 10 min", 600000)})
          .chart(Chart::kOsJank, "blamed on the app")
          .summary({ratioLine("phone's app jank per 10 min", 600000, "%.1f", "", true)})
          .prometheus("perfprobe_os_jank_app_frames",
                      "Janky frames the device blamed on the app in the last window."),
      Row(F, field::kOsJankSf)
          .title("phone's compositor jank")
          .figures({perWindows(Figure::kRatio, "per_10_min", "per 10 min", 600000)})
          .chart(Chart::kOsJank, "blamed on the compositor")
          .summary({ratioLine("phone's compositor jank per 10 min", 600000, "%.1f", "", true)})
          .prometheus("perfprobe_os_jank_sf_frames",
                      "Janky frames the device blamed on its compositor (SurfaceFlinger) in the "
                      "last window."),
      Row(F, field::kState)
          .prometheus("perfprobe_collection_info",
                      "State of the frame collection (collecting, idle, no-layer, no-frames).", 1,
                      "state"),

  };
}

std::string lower(const std::string& text) {
  std::string out = text;
  for (char& c : out) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return out;
}

// A cluster's CPUs as its name gives them: "0-3", "7", "0-1+4".
bool isCpuList(std::string_view text) {
  return !text.empty() && (text[0] >= '0' && text[0] <= '9') &&
         std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == ',';
         });
}

constexpr char kClusterPrefix[] = "cluster";


}  // namespace

const char kHottestItem[] = "hottest";

const char* const kSummaryGroups[] = {"Frames", "CPU", "GPU", "Temperature", "Power"};
const size_t kSummaryGroupCount = std::size(kSummaryGroups);

const Chart kCharts[] = {Chart::kFps,  Chart::kFrameTime, Chart::kOsJank,
                         Chart::kCpuClock, Chart::kLoad, Chart::kGpu,
                         Chart::kTemperature, Chart::kPower};
const size_t kChartCount = std::size(kCharts);

const std::vector<Metric>& catalog() {
  static const std::vector<Metric> rows = makeCatalog();
  return rows;
}

std::string Metric::key() const {
  if (from == From::kFps) return kGetFps;
  if (from == From::kCpuReport) return kGetSimple;
  switch (derive) {
    case Derive::kValue:
      return field->name;
    case Derive::kEach:
      return std::string(field->name) + "*" + field->suffix;
    case Derive::kCluster:
    case Derive::kClusterMean:
      return std::string(kClusterPrefix) + "*" + field->suffix;
    case Derive::kHottest:
      return columnOf(*this, "");
  }
  return field->name;
}

const std::vector<const Metric*>& rowsFrom(From from) {
  // Each reply's rows found once, as every reply read asks for them.
  static const auto byReply = [] {
    std::array<std::vector<const Metric*>, static_cast<size_t>(From::kCpuReport) + 1> rows;
    for (const Metric& row : catalog()) rows[static_cast<size_t>(row.from)].push_back(&row);
    return rows;
  }();
  return byReply[static_cast<size_t>(from)];
}

const Metric* rowByKey(std::string_view key) {
  for (const Metric& row : catalog()) {
    if (row.key() == key) return &row;
  }
  return nullptr;
}

std::optional<std::string> itemOfColumn(const Metric& row, std::string_view column) {
  switch (row.derive) {
    case Derive::kValue:
    case Derive::kHottest:
      if (column == columnOf(row, "")) return std::string();
      return std::nullopt;
    case Derive::kEach: {
      const std::string_view item = field::itemOf(*row.field, column);
      // A CPU is its number; a zone, any name but the hottest's.
      const bool made =
          field::perCpu(*row.field) ? allDigits(item) : !item.empty() && item != kHottestItem;
      if (made) return std::string(item);
      return std::nullopt;
    }
    case Derive::kCluster:
    case Derive::kClusterMean: {
      const field::Field cluster{kClusterPrefix, row.field->suffix, "", field::Format::kInteger};
      const std::string_view item = field::itemOf(cluster, column);
      if (isCpuList(item)) return std::string(item);
      return std::nullopt;
    }
  }
  return std::nullopt;
}

const Metric* rowOfColumn(std::string_view column) {
  const Metric* found = nullptr;
  for (const Metric& row : catalog()) {
    if (!row.makesSeries() || !itemOfColumn(row, column)) continue;
    if (found == nullptr || (found->chart == Chart::kNone && row.chart != Chart::kNone)) {
      found = &row;
    }
  }
  return found;
}

const char* sectionTitle(Section section) {
  switch (section) {
    case Section::kNone:
      return "";
    case Section::kDevice:
      return "Device";
    case Section::kCpu:
      return "CPU";
    case Section::kGpu:
      return "GPU";
    case Section::kBattery:
      return "Battery";
    case Section::kApp:
      return "App";
    case Section::kDaemon:
      return "perfprobed";
    case Section::kTemperatures:
      return "Temperatures, hottest first";
  }
  return "";
}

ChartDef chartDef(Chart chart, const Metric* own) {
  const char* lines = "with lines lw 1.5";
  switch (chart) {
    case Chart::kFps:
      return {chart, "frames per second", "with linespoints lw 2 pt 7 ps 0.6", true,
              Panel::Guide{kSlowFps, "30 FPS"}, "no frame rate", "no frame rate", {},
              "fps", "Frame rate", "FPS", false,
              {{&field::kJank, &field::kFps, "jank"}, {&field::kBigJank, &field::kFps, "big jank"}}};
    case Chart::kFrameTime:
      // At the sample's longest frame, since its jank frames are its longest.
      return {chart, "frame time (ms)", lines, true, std::nullopt, "no frame time",
              "no frame time",
              {{field::kJank.name, field::kFrameMsMax.name,
                "with points pt 7 ps 1.2 lc rgb 'orange'", "jank"},
               {field::kBigJank.name, field::kFrameMsMax.name,
                "with points pt 5 ps 1.6 lc rgb 'red'", "big jank"}},
              "frame_time", "Frame time", "ms", false,
              {{&field::kJank, &field::kFrameMsMax, "jank"}}};
    case Chart::kOsJank: {
      // Beside perfprobe's own count, at each sample that had one.
      ChartDef def{chart, "janky frames", lines, true, std::nullopt, "no jank count",
                   "no jank count", {}, "phone_jank", "Jank the phone counted", "frames", false,
                   {{&field::kJank, &field::kJank, "perfprobe's jank"}}};
      def.whenRecorded = true;
      return def;
    }
    case Chart::kCpuClock:
      return {chart, "CPU frequency (MHz)", lines, false, std::nullopt, "no CPU listed",
              "no CPU frequency", {}, "cpu_clock", "CPU clock", "MHz", false, {}};
    case Chart::kLoad:
      return {chart, "load (%)", lines, true, std::nullopt, "", "no load", {},
              "cpu_load", "CPU load", "%", false, {}};
    case Chart::kGpu:
      return {chart, "GPU frequency (MHz)", lines, false, std::nullopt, "", "no GPU frequency", {},
              "gpu", "GPU", "MHz", true, {}};
    case Chart::kTemperature:
      return {chart, "temperature (°C)", lines, false, std::nullopt, "", "no temperature", {},
              "temperature", "Temperature", "°C", false, {}};
    case Chart::kPower:
      return {chart, "battery power (mW)", lines, false, std::nullopt, "", "no battery power", {},
              "power", "Battery power", "mW", false, {}};
    case Chart::kNone:
    case Chart::kOwn:
      break;
  }
  ChartDef def{chart, "", lines, false, std::nullopt, "", "", {}, "", "", "", false, {}};
  if (chart == Chart::kOwn && own != nullptr) {
    const std::string shown = own->shownUnit.empty() ? own->field->unit : own->shownUnit;
    def.ylabel = shown.empty() ? own->label : own->label + " (" + shown + ")";
    def.noSeries = def.noValues = "no " + own->label;
    def.id = own->key();
    def.title = own->label;
    def.unit = shown;
  }
  return def;
}

std::string columnOf(const Metric& row, const std::string& item) {
  switch (row.derive) {
    case Derive::kValue:
      return row.field->name;
    case Derive::kEach:
      return row.field->name + item + row.field->suffix;
    case Derive::kCluster:
    case Derive::kClusterMean:
      return kClusterPrefix + item + row.field->suffix;
    case Derive::kHottest:
      return row.field->name + std::string(kHottestItem) + row.field->suffix;
  }
  return row.field->name;
}

std::string headOf(const Metric& row, const std::string& column) {
  if (row.shownUnit.empty()) return "";
  const std::string unit = "_" + lower(row.field->unit);
  if (column.size() > unit.size() && column.compare(column.size() - unit.size(), unit.size(), unit) == 0) {
    return column.substr(0, column.size() - unit.size());
  }
  return "";
}

Kind kindOf(const Metric& row, const std::vector<Item>& items) {
  Kind kind;
  kind.metric = &row;
  kind.unit = row.field->unit;
  kind.decimals = row.decimals();
  kind.shownUnit = row.shownUnit;
  kind.shownPer = row.shownPer;
  kind.liveWidth = row.liveWidth;
  for (const Word& word : row.words) kind.words.push_back(word.text);
  kind.group = row.group;
  kind.figures = row.figures;
  kind.panel.drawn = row.plot != Chart::kNone;
  if (kind.panel.drawn) {
    const ChartDef def = chartDef(row.plot, &row);
    kind.panel.key = row.plot == Chart::kOwn ? row.key() : def.id;
    kind.panel.ylabel = def.ylabel;
    kind.panel.style = def.style;
    kind.panel.fromZero = def.fromZero;
    kind.panel.guide = def.guide;
    kind.panel.noSeries = def.noSeries;
    kind.panel.noValues = def.noValues;
    kind.panel.marks = def.panelMarks;
  }
  // Of a watched family, the first item that holds each part.
  std::vector<std::string> drawnItems;
  for (const std::string& part : row.watched) {
    for (const Item& item : items) {
      if (item.item.find(part) != std::string::npos) {
        drawnItems.push_back(item.item);
        break;
      }
    }
  }
  for (const Item& item : items) {
    Series series;
    series.name = columnOf(row, item.item);
    series.head = headOf(row, series.name);
    series.item = item.item;
    switch (row.derive) {
      case Derive::kValue:
      case Derive::kHottest:
        series.title = row.title;
        break;
      case Derive::kEach:
        series.title = row.title + item.item;
        break;
      case Derive::kCluster:
      case Derive::kClusterMean:
        series.title = item.name + row.title;
        break;
    }
    series.live = row.live;
    series.drawn = kind.panel.drawn &&
                   (row.watched.empty() || std::find(drawnItems.begin(), drawnItems.end(),
                                                     item.item) != drawnItems.end());
    // A family drawn in part is summed up by the series made of it.
    series.summarized = row.watched.empty();
    kind.series.push_back(std::move(series));
  }
  return kind;
}

}  // namespace perfprobe
