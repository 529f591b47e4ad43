// main() of every test executable: isolate /dev/shm, then run GoogleTest.
#include <gtest/gtest.h>

#include "PrivateShm.h"

int main(int argc, char** argv) {
  qbtest::EnsurePrivateShm(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
