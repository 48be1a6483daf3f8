#include "fpsbench/timing_row.h"

#include <string.h>

namespace {

unsigned digitAt(const char* c) { return static_cast<unsigned>(*c - '0'); }

// Past the white space and the sign of a number as scanTimingValue reads
// it: its first digit, or null when it has none.
const char* firstDigit(const char* p, bool* negative) {
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  *negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  return digitAt(p) <= 9 ? p : nullptr;
}

// Whether the number at *text, read as scanTimingValue reads it, is not 0,
// without its value: it is not 0 exactly when one of its digits is not, as
// a minus sign and saturation keep a value that is not 0 so. *pending is set
// when it is a pending frame's INT64_MAX.
// Inlined into the row reader: called apart it costs a fifth more per row.
__attribute__((always_inline)) inline bool scanTimingNonZero(const char** text, bool* nonZero,
                                                             bool* pending) {
  bool negative;
  const char* p = firstDigit(*text, &negative);
  if (p == nullptr) return false;
  const char* const first = p;
  unsigned digits = 0;
  for (; digitAt(p) <= 9; ++p) digits |= digitAt(p);
  *nonZero = digits != 0;
  static constexpr char kPending[] = "9223372036854775807";
  constexpr size_t kPendingLen = sizeof kPending - 1;
  if (!negative && static_cast<size_t>(p - first) >= kPendingLen) {
    // Only a number this long can be INT64_MAX, leading zeros and all.
    const char* significant = first;
    while (*significant == '0') ++significant;
    if (static_cast<size_t>(p - significant) == kPendingLen &&
        memcmp(significant, kPending, kPendingLen) == 0) {
      *pending = true;
    }
  }
  *text = p;
  return true;
}

// scanTimingNonZero for the last number of a row, where nothing reads on:
// it stops at the first digit that decides.
__attribute__((always_inline)) inline bool lastTimingNonZero(const char* text, bool* nonZero,
                                                             bool* pending) {
  bool negative;
  const char* p = firstDigit(text, &negative);
  if (p == nullptr) return false;
  while (*p == '0') ++p;
  *nonZero = digitAt(p) <= 9;
  if (!negative && *p == '9') {
    // A mismatch comes at the terminating zero byte at the latest.
    static constexpr char kPending[] = "9223372036854775807";
    size_t i = 0;
    while (i < sizeof kPending - 1 && p[i] == kPending[i]) ++i;
    if (i == sizeof kPending - 1 && digitAt(p + i) > 9) *pending = true;
  }
  return true;
}

}  // namespace

bool scanTimingValue(const char** text, uint64_t* value) {
  bool negative;
  const char* p = firstDigit(*text, &negative);
  if (p == nullptr) return false;
  // 19 digits cannot overflow 64 bits; only a longer number is checked.
  uint64_t v = 0;
  const char* const fast = p + 19;
  // Two digits a step halve the chain of multiplications; a digit's next
  // byte is there to read, the terminating zero at the latest.
  for (; p + 1 < fast && digitAt(p) <= 9 && digitAt(p + 1) <= 9; p += 2) {
    v = v * 100 + digitAt(p) * 10 + digitAt(p + 1);
  }
  for (; p < fast && digitAt(p) <= 9; ++p) v = v * 10 + digitAt(p);
  bool overflow = false;
  for (; digitAt(p) <= 9; ++p) {
    if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, uint64_t{digitAt(p)}, &v)) overflow = true;
  }
  *value = overflow ? UINT64_MAX : negative ? 0 - v : v;
  *text = p;
  return true;
}

TimingRow scanTimingRow(const char* line) {
  // started, submitting, submitted; a value that is not there stays 0. Of
  // started and submitted only whether they are 0 counts.
  bool started = false, ready = false, pending = false, complete = false;
  uint64_t present = 0;
  if (scanTimingNonZero(&line, &started, &pending) && scanTimingValue(&line, &present)) {
    complete = lastTimingNonZero(line, &ready, &pending);
  }
  TimingRow row;
  row.complete = complete;
  row.startedNonZero = started;
  row.present = present;
  row.readyNonZero = ready;
  row.pending = pending || present == static_cast<uint64_t>(INT64_MAX);
  return row;
}
