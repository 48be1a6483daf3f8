#include "stats/kernel_files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "scoped_resource.h"
#include "stats/stats_parse.h"

std::optional<std::string_view> readSmall(const char* path, char* buf, size_t size) {
  ScopedFile file(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file) return std::nullopt;
  for (;;) {
    const ssize_t n = pread(file.get(), buf, size, 0);
    if (n >= 0) return std::string_view(buf, static_cast<size_t>(n));
    if (errno != EINTR) return std::nullopt;
  }
}

std::optional<int64_t> readInteger(const char* path) {
  char buf[128];
  const std::optional<std::string_view> text = readSmall(path, buf, sizeof buf);
  if (!text) return std::nullopt;
  return parseInteger(*text);
}

bool readCpuLines(const char* path, std::string* out) {
  out->clear();
  ScopedFile file(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file) return false;
  constexpr size_t kChunk = 4096;
  // Far more than any CPU count needs.
  constexpr size_t kLimit = 1 << 20;
  while (out->size() < kLimit) {
    const size_t at = out->size();
    out->resize(at + kChunk);
    const ssize_t n = pread(file.get(), &(*out)[at], kChunk, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) {
      out->resize(at);
      continue;
    }
    out->resize(at + static_cast<size_t>(n < 0 ? 0 : n));
    if (n <= 0) return n == 0;
    // Done once a line that is not a CPU's has begun; a line cut by the end
    // of the page within "cpu" is not yet known.
    for (size_t line = out->find('\n', at == 0 ? 0 : at - 1); line != std::string::npos;
         line = out->find('\n', line + 1)) {
      const std::string_view next = std::string_view(*out).substr(line + 1, 3);
      if (!next.empty() && std::string_view("cpu").substr(0, next.size()) != next) return true;
    }
  }
  return true;
}

namespace {

std::vector<int> listNumberedEntries(const char* dirPath, std::string_view prefix) {
  std::vector<int> numbers;
  ScopedDir dir(opendir(dirPath));
  if (!dir) return numbers;
  while (const dirent* entry = readdir(dir.get())) {
    const std::string_view name(entry->d_name);
    if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) continue;
    const std::string_view digits = name.substr(prefix.size());
    if (digits.size() > 6 || digits.find_first_not_of("0123456789") != std::string_view::npos) {
      continue;
    }
    numbers.push_back(static_cast<int>(*parseInteger(digits)));
  }
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

bool sameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

const std::vector<int>& Listing::numbers(const char* dirPath, std::string_view prefix) {
  struct stat st;
  if (stat(dirPath, &st) != 0) {
    path_.clear();
    numbers_.clear();
    return numbers_;
  }
  if (path_ != dirPath || dev_ != st.st_dev || ino_ != st.st_ino || links_ != st.st_nlink ||
      !sameTime(mtime_, st.st_mtim) || !sameTime(ctime_, st.st_ctim)) {
    numbers_ = listNumberedEntries(dirPath, prefix);
    path_ = dirPath;
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    links_ = st.st_nlink;
    mtime_ = st.st_mtim;
    ctime_ = st.st_ctim;
  }
  return numbers_;
}

int64_t pageSizeKb() {
  const long size = sysconf(_SC_PAGESIZE);
  return size > 0 ? size / 1024 : 4;
}

uint64_t nsPerClockTick() {
  const long ticks = sysconf(_SC_CLK_TCK);
  constexpr uint64_t kNsPerSecond = 1000000000;
  return ticks > 0 ? kNsPerSecond / static_cast<uint64_t>(ticks) : kNsPerSecond / 100;
}
