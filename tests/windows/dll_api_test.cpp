// velkan.dll as another program uses it: linked through its import library
// only, so every call below goes through the DLL's exported names.
#include <gtest/gtest.h>

#include <cstring>

#include "velkan/velkan.h"

namespace {

TEST(VelkanDll, DrivesTheEmulatedProgrammerThroughTheExports) {
  ASSERT_EQ(VelkanUseEmulator(nullptr), 0);
  const int reader = DllOpenReader();
  ASSERT_GT(reader, 0);

  char version[VELKAN_VERSION_TEXT_MAX] = {};
  unsigned int length = 0;
  unsigned int value = 0;
  ASSERT_EQ(DllGetFirmwareVersion(reader, version, &length, &value), 0);
  EXPECT_GT(length, 0u);
  EXPECT_LE(length, static_cast<unsigned int>(VELKAN_VERSION_TEXT_MAX));

  char name[] = "app.hex";
  ASSERT_EQ(DllSetOfflineFileName(reader, name, sizeof(name) - 1), 0);
  char back[VELKAN_OFFLINE_NAME_MAX] = {};
  unsigned int backLength = 0;
  ASSERT_EQ(DllGetOfflineFileName(reader, back, &backLength), 0);
  ASSERT_EQ(backLength, sizeof(name) - 1);
  EXPECT_EQ(std::memcmp(back, name, backLength), 0);

  unsigned char stateA = 0xAA;
  unsigned char stateB = 0xBB;
  EXPECT_EQ(DllI2cGetStatus(reader, &stateA), 0);
  EXPECT_EQ(DllGet7816CardState(reader, &stateB), 0);
  EXPECT_EQ(stateA, stateB);

  EXPECT_EQ(DllCloseReader(reader), 0);
  EXPECT_EQ(DllCloseReader(reader), VELKAN_ERR_CLOSE);
}

}  // namespace
