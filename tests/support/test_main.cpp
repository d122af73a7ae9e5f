// Test entry: everything the tests create is owner-only, as in the client.
#include <gtest/gtest.h>

#include <csignal>

#include "platform/fs.h"

int main(int argc, char** argv) {
  vl::owner_only_umask();
  std::signal(SIGPIPE, SIG_IGN);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
