#pragma once

#include <stdint.h>

// The rows of a latency output ("dumpsys SurfaceFlinger --latency NAME"):
// three numbers, in the order the layer's rate calls them started,
// submitting and submitted, and the frame statistics desired present,
// actual present and frame ready.

// One latency row as it was read: its three numbers, whether they were all
// there, and whether one is a pending frame's INT64_MAX.
struct TimingRow {
  bool complete = false;
  bool startedNonZero = false;
  // The second number, submitting: the frame's actual present time.
  uint64_t present = 0;
  bool readyNonZero = false;
  bool pending = false;
};

// Reads one number of a timing line at *text as sscanf's "%" SCNu64 reads
// it: white space, an optional sign, decimal digits; the value is strtoull's
// (a minus sign negates modulo 2^64, too many digits give UINT64_MAX). On
// success *text moves past the digits; with no digit, false and nothing
// changes. A tick parses a thousand such lines, and sscanf spends most of
// its time on the format.
bool scanTimingValue(const char** text, uint64_t* value);

// Reads the three numbers of a latency row at line, as sscanf's
// "%" SCNu64 "%" SCNu64 "%" SCNu64 would, stopping at the first that is not
// there.
TimingRow scanTimingRow(const char* line);
