#include <stdio.h>
#include <time.h>

#include <vector>

#include "command.h"
#include "common.h"
#include "html_report.h"
#include "recording.h"

namespace perfprobe {
namespace {

// At most this many warnings of one recording are shown: a damaged file may
// give one for each of thousands of lines.
constexpr size_t kWarningsShown = 10;

std::string baseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int writeReport(const std::vector<std::string>& files, const std::string& output) {
  std::vector<Recording> recordings;
  for (const std::string& file : files) {
    std::string why;
    const auto text = readFile(file, &why);
    if (!text) {
      printError(file + ": " + why);
      return kError;
    }
    // Named by the file, or by the path where two files share a name.
    std::string name = baseName(file);
    for (const std::string& other : files) {
      if (&other != &file && baseName(other) == name) name = file;
    }
    std::vector<std::string> warnings;
    auto rec = parseRecording(*text, name, &warnings, &why);
    if (!rec) {
      printError(file + ": " + why);
      return kError;
    }
    for (size_t i = 0; i < warnings.size() && i < kWarningsShown; ++i) {
      printError("warning: " + file + ": " + warnings[i]);
    }
    if (warnings.size() > kWarningsShown) {
      fprintf(stderr, "perfprobe: warning: %s: and %zu more\n", file.c_str(),
              warnings.size() - kWarningsShown);
    }
    recordings.push_back(std::move(*rec));
  }
  const time_t now = time(nullptr);
  tm parts;
  gmtime_r(&now, &parts);
  char generated[32];
  strftime(generated, sizeof generated, "%Y-%m-%d %H:%M:%S UTC", &parts);
  std::string why;
  if (!writeFile(output, reportHtml(recordings, generated), &why)) {
    printError(output + ": " + why);
    return kError;
  }
  printf("Report: %s\n", output.c_str());
  return kOk;
}

class Report : public Command {
 public:
  Report()
      : Command("report",
                "turns one or more recordings (monitor --record) into one HTML page that opens "
                "offline: a summary table and zoomable charts on one time axis, the recordings "
                "side by side") {}

  int run(const Channel::Options&) override { return writeReport(files_, output_); }

 protected:
  void addOptions(CLI::App& subcommand) override {
    subcommand.add_option("FILE", files_, "a recording")->type_name("")->required();
    subcommand.add_option("-o,--output", output_, "the page to write")
        ->type_name("FILE.html")
        ->capture_default_str();
  }

 private:
  std::vector<std::string> files_;
  std::string output_ = "report.html";
};

}  // namespace

std::unique_ptr<Command> reportCommand() { return std::make_unique<Report>(); }

}  // namespace perfprobe
