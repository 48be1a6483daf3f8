#include "trace.h"

#include <gtest/gtest.h>
#include <stdio.h>

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

}  // namespace
