#include "cpuinfo/cpuinfo.h"

#include <errno.h>
#include <fcntl.h>
#include <regex.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "scoped_resource.h"
#include "trace.h"

const char kCpuDir[] = "/sys/devices/system/cpu";

namespace {

// CPU directory names in byte-wise order (cpu0, cpu1, cpu10, ..., cpu9),
// replaced as a whole by initFreqInfo and read by readCPUFreq.
std::vector<std::string> files;

constexpr char kFreqFile[] = "/cpufreq/scaling_cur_freq";

// The frequency path fits a 128-byte buffer; a name that would not fit reads
// as "NA" rather than as some other, cut path.
constexpr size_t kFreqPathSize = 128;

// A cpufreq attribute is one short line; anything larger than a datagram can
// carry is not a frequency, so reading stops there.
constexpr size_t kMaxFreqFileSize = 64 * 1024;

// pread, not read: a value is a file's content, and a FIFO, a socket or a
// terminal in the file's place has no offsets, so it fails with ESPIPE and
// reads as "NA" (a folder fails with EISDIR). It costs what read costs, where
// a stat of every file would add a system call to every GET_SIMPLE.
//
// A read that returns less than it asked for has reached the end: a sysfs
// attribute gives its whole text to the first read, and a regular file
// stops short only at its end. So a value takes one read, not a second one
// to hear the end, and GET_SIMPLE costs what a bare open, read and close of
// each file costs.
bool readAll(int fd, std::string* out) {
  char buf[4096];
  for (;;) {
    ssize_t n = pread(fd, buf, sizeof buf, static_cast<off_t>(out->size()));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    out->append(buf, static_cast<size_t>(n));
    if (static_cast<size_t>(n) < sizeof buf || out->size() >= kMaxFreqFileSize) return true;
  }
}

}  // namespace

void initCPUInfo() { initFreqInfo(); }

void initFreqInfo(const std::string& cpuDir) {
  files.clear();
  ScopedDir dir(opendir(cpuDir.c_str()));
  if (!dir) return;

  regex_t cpuPattern;
  if (regcomp(&cpuPattern, "cpu[0-9]", 0) == 0) {
    // Unanchored on purpose: every name holding "cpu" and a digit is a CPU,
    // while cpufreq, cpuidle, online and possible are not.
    while (const dirent* entry = readdir(dir.get())) {
      if (entry->d_name[0] == '.') continue;
      regmatch_t match[1];
      if (regexec(&cpuPattern, entry->d_name, 1, match, 0) != REG_NOMATCH)
        files.emplace_back(entry->d_name);
    }
    regfree(&cpuPattern);
  }
  std::sort(files.begin(), files.end());

  for (const std::string& name : files) trace("file = %s\n", name.c_str());
  trace("init freq success\n");
}

std::string readEachCpuFreq(const std::string& fileName,
                            const std::string& cpuDir) {
  const std::string freqPath = cpuDir + "/" + fileName + kFreqFile;
  if (freqPath.size() >= kFreqPathSize) return "NA";

  // O_NONBLOCK: a FIFO planted where the attribute should be must not stall
  // the server; it changes nothing for sysfs or regular files.
  ScopedFile file(open(freqPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file) {
    trace("--> readCPUFreq:fileCPU == NULL\n");
    return "NA";
  }
  std::string value;
  if (!readAll(file.get(), &value)) return "NA";
  if (!value.empty()) value.pop_back();
  return value;
}

std::string cpuFreqReport(const std::vector<std::string>& allFreq) {
  std::string freqResult = "cpuFreq:";
  for (const std::string& value : allFreq) {
    freqResult += value;
    freqResult += ',';
  }
  // Drops the last ",", or the ":" when no CPU is listed.
  freqResult.pop_back();
  return freqResult;
}

std::string readCPUFreq(const std::string& cpuDir) {
  std::vector<std::string> allFreq;
  allFreq.reserve(files.size());
  for (const std::string& name : files) allFreq.push_back(readEachCpuFreq(name, cpuDir));
  return cpuFreqReport(allFreq);
}
