/* A C program as a Visual C++ user writes one: velkan.h and velkan.lib, the
 * Microsoft-style import library, nothing else. It drives the emulated
 * programmer through the DLL and fails on the first unexpected answer. */
#include <stdio.h>
#include <string.h>

#include "velkan/velkan.h"

#define CHECK(expr)                                           \
  do {                                                        \
    if (!(expr)) {                                            \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #expr); \
      return 1;                                               \
    }                                                         \
  } while (0)

int main(void) {
  CHECK(VelkanUseEmulator(NULL) == 0);
  int reader = DllOpenReader();
  CHECK(reader > 0);

  char version[VELKAN_VERSION_TEXT_MAX];
  unsigned int length = 0, value = 0;
  CHECK(DllGetFirmwareVersion(reader, version, &length, &value) == 0);
  CHECK(length > 0 && length <= VELKAN_VERSION_TEXT_MAX);

  char name[] = "c-app.hex";
  CHECK(DllSetOfflineFileName(reader, name, (unsigned int)strlen(name)) == 0);
  char back[VELKAN_OFFLINE_NAME_MAX];
  unsigned int backLength = 0;
  CHECK(DllGetOfflineFileName(reader, back, &backLength) == 0);
  CHECK(backLength == strlen(name) && memcmp(back, name, backLength) == 0);

  CHECK(DllCloseReader(reader) == 0);
  CHECK(DllCloseReader(reader) == VELKAN_ERR_CLOSE);
  const char* text = VelkanErrorText(VELKAN_ERR_CLOSE);
  CHECK(text != NULL && text[0] != '\0');
  printf("firmware %.*s through velkan.lib; closed twice: %s\n", (int)length, version, text);
  return 0;
}
