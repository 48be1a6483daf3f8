#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

// A broken property ends the run on the spot, so libFuzzer keeps the input
// as a crash artifact; the message says what differed.
#define FUZZ_CHECK(cond, ...)                                                  \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      fprintf(stderr, __VA_ARGS__);                                            \
      fputc('\n', stderr);                                                     \
      __builtin_trap();                                                        \
    }                                                                          \
  } while (0)

namespace fuzz {

// Bytes as a C-escaped string, so that a report shows zero bytes and line
// feeds; long strings are cut, as the artifact holds the whole input anyway.
inline std::string show(const std::string& s) {
  std::string out = "\"";
  const size_t limit = 300;
  for (size_t i = 0; i < s.size() && i < limit; ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '\\' || c == '"') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  if (s.size() > limit) out += "...(" + std::to_string(s.size()) + " bytes)";
  return out + "\"";
}

// The lines that fgets with a 1024-byte buffer reads from these bytes, each
// taken as the C string fgets leaves in the buffer. The real stdio does the
// reading, so the parsers are held to libc's behaviour, not to a rewrite.
inline std::vector<std::string> fgetsLines(const uint8_t* data, size_t size) {
  std::vector<std::string> lines;
  if (size == 0) return lines;  // fmemopen refuses an empty buffer
  std::vector<char> copy(data, data + size);
  FILE* stream = fmemopen(copy.data(), copy.size(), "r");
  if (stream == nullptr) {
    perror("fmemopen");
    __builtin_trap();
  }
  char buf[1024];
  while (fgets(buf, sizeof buf, stream) != nullptr) lines.emplace_back(buf, strlen(buf));
  fclose(stream);
  return lines;
}

// Chunk sizes for feeding the same bytes piecewise: drawn from a generator
// seeded by the input, so a crash replays with the same split. Sizes range
// from empty feeds to several lines at once.
class ChunkSizes {
 public:
  ChunkSizes(const uint8_t* data, size_t size, uint64_t salt) {
    uint64_t h = 14695981039346656037ull ^ salt;
    for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 1099511628211ull;
    state_ = h | 1;
  }

  size_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    switch (state_ % 4) {
      case 0:
        return (state_ >> 8) % 3;  // 0, 1 or 2 bytes
      case 1:
        return (state_ >> 8) % 64;
      case 2:
        return 1000 + (state_ >> 8) % 48;  // around the 1023-byte line limit
      default:
        return (state_ >> 8) % 4096;
    }
  }

 private:
  uint64_t state_;
};

// Feeds data to splitter in chunks and finishes it.
template <typename Splitter, typename OnLine>
void feedInChunks(Splitter& splitter, const uint8_t* data, size_t size, ChunkSizes& sizes,
                  OnLine&& onLine) {
  const char* p = reinterpret_cast<const char*>(data);
  size_t left = size;
  while (left > 0) {
    size_t n = sizes.next();
    if (n > left) n = left;
    splitter.feed(p, n, onLine);
    p += n;
    left -= n;
  }
  splitter.finish(onLine);
}

}  // namespace fuzz
