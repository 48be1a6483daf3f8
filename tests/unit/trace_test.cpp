#include "trace.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <string>

namespace {

// The library's trace lines would bury the tests' own output; only the test
// of the switch turns them on.
class TracingOff : public ::testing::Environment {
 public:
  void SetUp() override { setTracing(false); }
};
const auto* const tracingOff = ::testing::AddGlobalTestEnvironment(new TracingOff);

std::string traced(bool on) {
  setTracing(on);
  ::testing::internal::CaptureStdout();
  trace("frameList.size() = %lu\n", 3ul);
  // trace() goes through stdio's buffer, a handler's line straight out.
  fflush(stdout);
  traceFromSignal("in qq handle sig 3 \n", 20);
  fflush(stdout);
  setTracing(false);
  return ::testing::internal::GetCapturedStdout();
}

TEST(Trace, WritesItsLinesOnlyWhileOn) {
  EXPECT_EQ(traced(true), "frameList.size() = 3\nin qq handle sig 3 \n");
  EXPECT_EQ(traced(false), "");
}

// Where standard output goes while traceOnlyWhereSeen() looks, and then
// what a trace line writes to a file.
std::string tracedAfterLookingAt(const char* out) {
  setTracing(true);
  fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  const int fd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(fd, STDOUT_FILENO);
  traceOnlyWhereSeen();
  char path[] = "/tmp/perfprobe-trace-XXXXXX";
  const int file = mkstemp(path);
  dup2(file, STDOUT_FILENO);
  trace("seen %d\n", 1);
  fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  for (const int d : {saved, fd, file}) close(d);
  setTracing(false);
  std::string text(64, '\0');
  const int in = open(path, O_RDONLY);
  text.resize(static_cast<size_t>(std::max<ssize_t>(0, read(in, text.data(), text.size()))));
  close(in);
  unlink(path);
  return text;
}

TEST(Trace, GoesOffOnlyWhenStandardOutputIsTheNullDevice) {
  EXPECT_EQ(tracedAfterLookingAt("/dev/null"), "");
  const std::string file = "/tmp/perfprobe-trace-out-" + std::to_string(getpid());
  EXPECT_EQ(tracedAfterLookingAt(file.c_str()), "seen 1\n");
  unlink(file.c_str());
}

}  // namespace
