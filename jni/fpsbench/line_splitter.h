#pragma once

#include <stddef.h>
#include <string.h>

#include <algorithm>

// Lines of a command's output as fgets with a 1024-byte buffer gives them: a
// line keeps its line feed, a longer line arrives as pieces of 1023 bytes,
// each one a line of its own, and a line is a C string, so it ends at its
// first zero byte.
class LineSplitter {
 public:
  static constexpr size_t kLineBufSize = 1024;

  // Calls onLine(const char* line, size_t len) for every line completed by
  // data; line is zero-terminated.
  template <typename OnLine>
  void feed(const char* data, size_t size, OnLine&& onLine) {
    while (size > 0) {
      size_t take = std::min(size, kLineBufSize - 1 - len_);
      const void* lf = memchr(data, '\n', take);
      if (lf != nullptr) take = static_cast<size_t>(static_cast<const char*>(lf) - data) + 1;
      memcpy(line_ + len_, data, take);
      len_ += take;
      data += take;
      size -= take;
      if (lf != nullptr || len_ == kLineBufSize - 1) emit(onLine);
    }
  }

  // The end of the output: the last line may lack its line feed.
  template <typename OnLine>
  void finish(OnLine&& onLine) {
    if (len_ > 0) emit(onLine);
  }

 private:
  template <typename OnLine>
  void emit(OnLine& onLine) {
    line_[len_] = '\0';
    onLine(static_cast<const char*>(line_), strlen(line_));
    len_ = 0;
  }

  char line_[kLineBufSize];
  size_t len_ = 0;
};
