#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include "harness.h"

// e2e_tests [gtest flags] -- DAEMON-COMMAND...
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--") == 0) {
      e2e::daemonCommand.assign(argv + i + 1, argv + argc);
      break;
    }
  }
  if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
  if (e2e::daemonCommand.empty()) {
    fprintf(stderr, "usage: %s [gtest flags] -- DAEMON-COMMAND...\n", argv[0]);
    return 2;
  }
  std::string why;
  if (!e2e::enterTestNamespace(&why)) {
    printf("SKIPPED: the end-to-end tests run the daemon in private pid, mount and "
           "network namespaces, which need root and namespace support: %s\n",
           why.c_str());
    return 77;
  }
  return RUN_ALL_TESTS();
}
