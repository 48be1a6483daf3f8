#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/types.h>
#include <time.h>

#include <charconv>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// How GET_STATS reads the kernel's files: small ones whole in one read,
// never blocking on a FIFO planted in a file's place, and folders listed
// only when they change.

// A path built in place, part by part: a reply reads a hundred files or
// more, and the strings of their paths would cost more than their reading.
// A path too long for it names no file. Inline, as a reply builds its paths
// of some four hundred parts.
class Path {
 public:
  explicit Path(std::string_view base) { add(base); }
  // Appends part; returns the length before it, for cut().
  size_t add(std::string_view part) {
    const size_t before = len_;
    if (len_ + part.size() < sizeof buf_) {
      memcpy(buf_ + len_, part.data(), part.size());
      len_ += part.size();
    } else {
      len_ = sizeof buf_;
    }
    return before;
  }
  size_t add(int64_t number) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    return add(std::string_view(digits, static_cast<size_t>(end - digits)));
  }
  void cut(size_t len) { len_ = len; }
  const char* c_str() {
    if (len_ >= sizeof buf_) return "";
    buf_[len_] = '\0';
    return buf_;
  }

 private:
  char buf_[512];
  size_t len_ = 0;
};

// The whole text of a small kernel file in buf, without blocking on a FIFO
// planted in its place. One read: a sysfs attribute gives its whole text to
// the first read, and what does not fit in buf is no value of ours.
std::optional<std::string_view> readSmall(const char* path, char* buf, size_t size);

// A small file holding one whole number (parseInteger).
std::optional<int64_t> readInteger(const char* path);

// The CPU lines at the head of /proc/stat: read a page at a time until a
// line of another kind has come, so that the interrupt counts after them,
// thousands of numbers on a phone, are not copied. out is kept by the
// caller for its buffer.
bool readCpuLines(const char* path, std::string* out);

// The numbers that follow a prefix in the names of a folder's entries
// ("cpu" for cpu0, cpu12, ...), in ascending order, listed again only when
// the folder has changed. Listing a folder takes five system calls and a
// stat one: sysfs counts a folder's subfolders in its link count (CPUs,
// policies and zones are folders), and any folder's times move when an
// entry comes or goes.
class Listing {
 public:
  // Empty when dirPath cannot be read.
  const std::vector<int>& numbers(const char* dirPath, std::string_view prefix);

 private:
  std::string path_;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  nlink_t links_ = 0;
  timespec mtime_ = {};
  timespec ctime_ = {};
  std::vector<int> numbers_;
};

// The page size in kB, and the length of the kernel's clock tick (the unit
// of /proc/PID/stat's times) in ns.
int64_t pageSizeKb();
uint64_t nsPerClockTick();
