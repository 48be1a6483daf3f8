#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include "fields.h"
#include "protocol.h"
#include "text.h"

// The shapes of the daemon's replies, as the client reads them. Everything
// here is pure, so that tests call it with any bytes.
namespace perfprobe {

// Whether the daemon would answer text at all: it holds one of its keywords
// before its first zero byte, within the bytes it reads.
bool holdsKeyword(const std::string& text);

// The reply of the requests that only act: "success".
inline bool isSuccess(const std::string& reply) { return reply == kSuccess; }

// kInitialization + ":" + pattern. The daemon takes the second ':'-separated
// field as a regular expression, so a ':' would cut the pattern and a line
// feed would stay in it and match nothing: both give a reason here.
std::optional<std::string> startRequest(const std::string& pattern, std::string* why);

// The frame rate: the daemon's "%d" text of a 32-bit value.
std::optional<int32_t> parseFps(const std::string& reply);

// A reply of "name value" lines, each ending in a line feed (GET_STATS,
// GET_FRAMESTATS): the value is the rest of its line ("Not charging" holds a
// space), none for "NA". The lines keep the daemon's order; a later line of
// a name read before, and a line the daemon has not ended, count as absent.
// Names it does not know are kept as they come.
struct Reading {
  struct Field {
    std::string name;
    std::optional<std::string> value;  // none for "NA"

    bool operator==(const Field& other) const { return name == other.name && value == other.value; }
  };
  std::vector<Field> fields;
  // "truncated N": the daemon left out the last N lines to keep a reply to
  // a distant peer within what its request allows. Not a field.
  std::optional<uint64_t> truncated;

  // The field's value as it came; none when it is "NA" or absent.
  std::optional<std::string> text(const std::string& name) const;
  // The field's value when it is one of the daemon's numbers.
  std::optional<double> number(const std::string& name) const;
};

// GET_STATS' reply; nullopt without an uptime line: not such a reply (a
// rate, a report, frame statistics).
std::optional<Reading> parseDeviceStats(const std::string& reply);
bool isDeviceStats(const std::string& reply);

// GET_FRAMESTATS' reply: the frame statistics of the daemon's last tick.
// Nullopt without a state: not such a reply. A number is missing when it is
// "NA" or not a plain decimal number (a count must be whole).
std::optional<Reading> parseFrameStats(const std::string& reply);
bool isFrameStats(const std::string& reply);

// A number as the daemon prints them: a minus maybe, digits, then maybe a
// point and digits.
std::optional<double> statsNumber(const std::string& text);

// Such digits as a number; nothing for any other text or beyond 64 bits.
std::optional<uint64_t> parseUnsigned(const std::string& text);

// Calls each(name, value) for every line of a reply of "name value" lines
// that ends in a line feed, in order: the value is the rest of the line. A
// line without a space or without a name is skipped.
template <typename Each>
void forEachField(const std::string& reply, const Each& each) {
  size_t from = 0;
  for (size_t end = reply.find('\n'); end != std::string::npos; end = reply.find('\n', from)) {
    const size_t space = reply.find(' ', from);
    if (space != from && space < end) {
      each(reply.substr(from, space - from), reply.substr(space + 1, end - space - 1));
    }
    from = end + 1;
  }
}

// The CPU report in the order it comes: "cpuFreq" alone (no CPU listed) or
// "cpuFreq:" and values joined by ','. A value that is not a plain decimal
// number ("NA", an empty file) is missing. Nullopt when the reply is not a
// CPU report at all.
using Khz = std::optional<uint64_t>;
std::optional<std::vector<Khz>> parseCpuReport(const std::string& reply);

// The daemon lists its CPU folders in byte-wise order of their names (cpu0,
// cpu1, cpu10, cpu11, cpu2, ...): the CPU number of each position of a report
// of n values, for a device whose CPUs are cpu0 to cpu<n-1>.
std::vector<unsigned> reportOrder(size_t n);

// A report's values by CPU number: value i belongs to cpu<i>.
std::vector<Khz> byCpuNumber(const std::vector<Khz>& report);

}  // namespace perfprobe
