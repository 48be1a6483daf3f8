#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <string>

#include "harness.h"

// e2e_tests [gtest flags] --dumpsys-dir=DIR [--client=PATH] [--runtime-threads=N] -- DAEMON-COMMAND...
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  constexpr char kDumpsysFlag[] = "--dumpsys-dir=";
  constexpr char kClientFlag[] = "--client=";
  constexpr char kThreadsFlag[] = "--runtime-threads=";
  for (int i = 1; i < argc; ++i) {
    if (strncmp(argv[i], kDumpsysFlag, strlen(kDumpsysFlag)) == 0) {
      // Absolute: the daemon works in "/" once detached.
      e2e::dumpsysBinDir = std::filesystem::absolute(argv[i] + strlen(kDumpsysFlag));
    }
    if (strncmp(argv[i], kClientFlag, strlen(kClientFlag)) == 0) {
      e2e::clientPath = std::filesystem::absolute(argv[i] + strlen(kClientFlag));
    }
    if (strncmp(argv[i], kThreadsFlag, strlen(kThreadsFlag)) == 0) {
      e2e::runtimeThreads = strtoul(argv[i] + strlen(kThreadsFlag), nullptr, 10);
    }
    if (strcmp(argv[i], "--") == 0) {
      e2e::daemonCommand.assign(argv + i + 1, argv + argc);
      break;
    }
  }
  if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
  if (e2e::daemonCommand.empty() || e2e::dumpsysBinDir.empty()) {
    fprintf(stderr, "usage: %s [gtest flags] --dumpsys-dir=DIR [--client=PATH] [--runtime-threads=N] -- DAEMON-COMMAND...\n",
            argv[0]);
    return 2;
  }
  // The daemon finds dumpsys on PATH, as on a device; here it finds the double.
  const char* path = getenv("PATH");
  setenv("PATH", (e2e::dumpsysBinDir + ":" + (path != nullptr ? path : "/usr/bin:/bin")).c_str(), 1);
  std::string why;
  if (!e2e::enterTestNamespace(&why)) {
    printf("SKIPPED: the end-to-end tests run the daemon in private pid, mount and "
           "network namespaces, which need root and namespace support: %s\n",
           why.c_str());
    return 77;
  }
  return RUN_ALL_TESTS();
}
