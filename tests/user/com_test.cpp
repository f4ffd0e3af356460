// COM initialisation on this platform only counts: the first call of a thread succeeds
// with S_OK, later ones with S_FALSE, until as many uninitialisations.
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>

namespace {

TEST(Com, InitialisationIsCountedPerThread) {
  EXPECT_EQ(CoInitialize(nullptr), S_OK);
  EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
  CoUninitialize();
  CoUninitialize();
  EXPECT_EQ(CoInitialize(nullptr), S_OK);
  CoUninitialize();
}

}  // namespace
