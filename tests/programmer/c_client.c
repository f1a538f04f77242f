/* A plain C program using the shared library through velkan.h only: the
 * header must be valid C and the library usable without any C++ on the
 * caller's side. Drives the in-memory emulated programmer. */
#include <stdio.h>
#include <string.h>

#include "velkan/velkan.h"

static int failures = 0;

static void check(int ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "FAILED: %s\n", what);
    ++failures;
  }
}

int main(void) {
  unsigned char key[] = {0x20, 0x00, 0x00, 0x08, 0xFF, 0xFF, 0xFF, 0xFF,
                         0xFF, 0xFF, 0xFF, 0xFF};
  unsigned char response[VELKAN_REPLY_AREA];
  unsigned long responseLength = 2;
  char name[VELKAN_OFFLINE_NAME_MAX];
  unsigned int nameLength = 0;
  int reader;

  check(VelkanUseEmulator(NULL) == 0, "VelkanUseEmulator");
  reader = DllOpenReader();
  check(reader > 0, "DllOpenReader gives a positive handle");

  check(DllI2cCommand(reader, 0xA0, key, sizeof key, response, &responseLength) == 0,
        "DllI2cCommand");
  check(responseLength == 2 && response[0] == 0x90 && response[1] == 0x00, "key check 90 00");

  check(DllSetOfflineFileName(reader, (char*)"app.hex", 7) == 0, "DllSetOfflineFileName");
  check(DllGetOfflineFileName(reader, name, &nameLength) == 0, "DllGetOfflineFileName");
  check(nameLength == 7 && memcmp(name, "app.hex", 7) == 0, "offline name read back");

  check(DllCloseReader(reader) == 0, "DllCloseReader");
  check(DllCloseReader(reader) == VELKAN_ERR_CLOSE, "second close gives -4");
  check(DllLedControl(reader, 2) == VELKAN_ERR_BAD_HANDLE, "closed handle refused");

  if (failures == 0) printf("1 passed, 0 failed\n");
  return failures == 0 ? 0 : 1;
}
