#include "report.h"

#include <math.h>
#include <stdio.h>

#include <algorithm>
#include <nlohmann/json.hpp>

namespace perfprobe {

namespace {

std::string format(const char* fmt, double value) {
  char buf[64];
  snprintf(buf, sizeof buf, fmt, value);
  return buf;
}

std::string mhzOrNa(const std::optional<double>& mhz, const char* fmt) {
  return mhz ? format(fmt, *mhz) : "NA";
}

std::optional<double> mhzOf(const Khz& khz) {
  if (!khz) return std::nullopt;
  return static_cast<double>(*khz) / 1000.0;
}

Khz cpuAt(const Sample& sample, size_t i) {
  return i < sample.cpus.size() ? sample.cpus[i] : std::nullopt;
}

std::string pad(const std::string& text, int width) {
  char buf[96];
  snprintf(buf, sizeof buf, "%*s", width, text.c_str());
  return buf;
}

// Milliseconds are all the clock of a sample means; more digits would only
// be noise in the files.
double roundedTime(double s) { return std::round(s * 1000.0) / 1000.0; }

// A gnuplot string literal: single quotes, in which only a doubled quote
// stands for a quote.
std::string gnuplotString(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') quoted += '\'';
    if (c == '\n' || c == '\r') c = ' ';
    quoted += c;
  }
  return quoted + "'";
}

}  // namespace

Summary summarize(const std::vector<Sample>& samples, size_t cpuCount, double intervalS) {
  Summary summary;
  summary.samples = samples.size();
  std::vector<int32_t> fps;
  for (const Sample& s : samples) {
    if (s.fps) fps.push_back(*s.fps);
  }
  summary.withFps = fps.size();
  if (!fps.empty()) {
    std::sort(fps.begin(), fps.end());
    const size_t n = fps.size();
    summary.minFps = fps.front();
    summary.medianFps = n % 2 == 1 ? fps[n / 2] : (double(fps[n / 2 - 1]) + fps[n / 2]) / 2.0;
    double sum = 0;
    for (int32_t v : fps) sum += v;
    summary.meanFps = sum / static_cast<double>(n);
    // Nearest rank: the smallest value that at least 5% of the samples reach
    // or go below.
    const size_t rank = (n * 5 + 99) / 100;
    summary.p5Fps = fps[std::max<size_t>(rank, 1) - 1];
    const auto below = std::count_if(fps.begin(), fps.end(), [](int32_t v) { return v < 30; });
    summary.secondsBelow30 = static_cast<double>(below) * intervalS;
  }
  summary.cpus.resize(cpuCount);
  for (size_t i = 0; i < cpuCount; ++i) {
    double sum = 0;
    size_t n = 0;
    for (const Sample& s : samples) {
      const auto mhz = mhzOf(cpuAt(s, i));
      if (!mhz) continue;
      sum += *mhz;
      ++n;
      CpuFigures& figures = summary.cpus[i];
      if (!figures.maxMhz || *mhz > *figures.maxMhz) figures.maxMhz = mhz;
    }
    if (n > 0) summary.cpus[i].meanMhz = sum / static_cast<double>(n);
  }
  return summary;
}

std::string liveHeader(size_t cpuCount) {
  std::string line = pad("time_s", 8) + pad("fps", 6);
  for (size_t i = 0; i < cpuCount; ++i) line += pad("cpu" + std::to_string(i), 7);
  return line + (cpuCount > 0 ? "  (MHz)\n" : "\n");
}

std::string liveLine(const Sample& sample, size_t cpuCount) {
  std::string line = pad(format("%.1f", sample.timeS), 8) +
                     pad(sample.fps ? std::to_string(*sample.fps) : "NA", 6);
  for (size_t i = 0; i < cpuCount; ++i) line += pad(mhzOrNa(mhzOf(cpuAt(sample, i)), "%.0f"), 7);
  return line + "\n";
}

std::string csvHeader(size_t cpuCount) {
  std::string line = "time_s,fps";
  for (size_t i = 0; i < cpuCount; ++i) line += ",cpu" + std::to_string(i) + "_khz";
  return line + "\n";
}

std::string csvRow(const Sample& sample, size_t cpuCount) {
  std::string line = format("%.3f", sample.timeS) + "," +
                     (sample.fps ? std::to_string(*sample.fps) : "NA");
  for (size_t i = 0; i < cpuCount; ++i) {
    const Khz khz = cpuAt(sample, i);
    line += "," + (khz ? std::to_string(*khz) : "NA");
  }
  return line + "\n";
}

std::string jsonSample(const Sample& sample, size_t cpuCount) {
  nlohmann::ordered_json line;
  line["time_s"] = roundedTime(sample.timeS);
  line["fps"] = sample.fps ? nlohmann::ordered_json(*sample.fps) : nullptr;
  nlohmann::ordered_json cpus = nlohmann::ordered_json::array();
  for (size_t i = 0; i < cpuCount; ++i) {
    const Khz khz = cpuAt(sample, i);
    cpus.push_back(khz ? nlohmann::ordered_json(*khz) : nullptr);
  }
  line["cpu_khz"] = std::move(cpus);
  return line.dump() + "\n";
}

std::string jsonSummary(const Summary& summary) {
  auto orNull = [](const auto& v) { return v ? nlohmann::ordered_json(*v) : nullptr; };
  nlohmann::ordered_json fps;
  fps["samples"] = summary.withFps;
  fps["min"] = orNull(summary.minFps);
  fps["median"] = orNull(summary.medianFps);
  fps["mean"] = orNull(summary.meanFps);
  fps["p5"] = orNull(summary.p5Fps);
  fps["seconds_below_30"] = summary.secondsBelow30;
  nlohmann::ordered_json cpus = nlohmann::ordered_json::array();
  for (const CpuFigures& cpu : summary.cpus) {
    nlohmann::ordered_json figures;
    figures["mean_mhz"] = orNull(cpu.meanMhz);
    figures["max_mhz"] = orNull(cpu.maxMhz);
    cpus.push_back(std::move(figures));
  }
  nlohmann::ordered_json inner;
  inner["samples"] = summary.samples;
  inner["fps"] = std::move(fps);
  inner["cpus"] = std::move(cpus);
  nlohmann::ordered_json line;
  line["summary"] = std::move(inner);
  return line.dump() + "\n";
}

std::string summaryText(const Summary& summary) {
  std::string text = "Summary: " + std::to_string(summary.samples) + " samples, " +
                     std::to_string(summary.withFps) + " with a frame rate\n";
  if (summary.withFps > 0) {
    text += "  FPS   min " + std::to_string(*summary.minFps) + "   median " +
            format("%g", *summary.medianFps) + "   mean " + format("%.1f", *summary.meanFps) +
            "   5th percentile " + std::to_string(*summary.p5Fps) + "   below 30 FPS " +
            format("%.1f", summary.secondsBelow30) + " s\n";
  }
  if (!summary.cpus.empty()) text += "  CPU     mean MHz   max MHz\n";
  for (size_t i = 0; i < summary.cpus.size(); ++i) {
    const CpuFigures& cpu = summary.cpus[i];
    text += "  " + pad("cpu" + std::to_string(i), -6) + pad(mhzOrNa(cpu.meanMhz, "%.1f"), 10) +
            pad(mhzOrNa(cpu.maxMhz, "%.1f"), 10) + "\n";
  }
  return text;
}

std::string plotScript(const std::string& dataPath, const std::string& pngPath,
                       const std::string& title, const Summary& summary) {
  const std::string data = gnuplotString(dataPath);
  const size_t cpuCount = summary.cpus.size();
  const bool anyCpu = std::any_of(summary.cpus.begin(), summary.cpus.end(),
                                  [](const CpuFigures& cpu) { return cpu.maxMhz.has_value(); });
  auto emptyPanel = [](const char* what) {
    return std::string("set label 1 '") + what + "' at graph 0.5, graph 0.5 center\n" +
           "plot [0:1] [0:1] NaN notitle\nunset label 1\n";
  };
  std::string s;
  s += "set terminal pngcairo size 1280,900 font 'sans,11'\n";
  s += "set output " + gnuplotString(pngPath) + "\n";
  s += "set datafile missing 'NA'\n";
  s += "set grid\n";
  s += "set key outside right top\n";
  // Fixed margins, so that the two panels share their time axis.
  s += "set lmargin at screen 0.07\n";
  s += "set rmargin at screen 0.87\n";
  s += "set multiplot layout 2,1 title " + gnuplotString(title) + " noenhanced\n";
  s += "set ylabel 'frames per second'\n";
  if (summary.withFps > 0) {
    s += "set yrange [0:*]\n";
    s += "plot " + data +
         " using 1:2 with linespoints lw 2 pt 7 ps 0.6 title 'FPS', "
         "30 with lines dashtype 2 lc rgb 'gray40' title '30 FPS'\n";
    s += "set autoscale y\n";
  } else {
    s += emptyPanel("no frame rate");
  }
  s += "set xlabel 'time (s)'\n";
  s += "set ylabel 'CPU frequency (MHz)'\n";
  if (anyCpu) {
    s += "plot for [i=0:" + std::to_string(cpuCount - 1) + "] " + data +
         " using 1:(column(i+3)/1000.0) with lines lw 1.5 title sprintf('cpu%d', i)\n";
  } else {
    s += emptyPanel(cpuCount == 0 ? "no CPU listed" : "no CPU frequency");
  }
  s += "unset multiplot\n";
  return s;
}

}  // namespace perfprobe
