#pragma once

#include <stddef.h>

// Trace lines: the daemon's own account of what it does, on standard output.
// Once the daemon has detached that is the null device, so they cost a
// formatted write and show only where standard output goes somewhere, as in
// a test or a benchmark that calls the library in its own process; those
// turn them off with setTracing(false).
void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// On by default.
void setTracing(bool on);

// Turns trace lines off when standard output is the null device, as it is
// once the daemon has detached: nobody could read them, and formatting them
// costs the collector a few percent of its CPU.
void traceOnlyWhereSeen();

// A trace line from a signal handler: the text is written as it is, with
// write(2) and no formatting, both safe there.
void traceFromSignal(const char* text, size_t len);
