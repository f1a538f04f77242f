#include <stdio.h>
#include <velkan/velkan.h>

int main(int argc, char** argv) {
  if (argc > 1 && VelkanUseEmulator(NULL) != 0) return 1; /* any argument: emulated programmer */
  int reader = DllOpenReader(), rc = VELKAN_ERR_NO_READER;
  char text[VELKAN_VERSION_TEXT_MAX];
  unsigned int length = 0, value = 0;
  if (reader > 0 && (rc = DllGetFirmwareVersion(reader, text, &length, &value)) == 0)
    printf("firmware %.*s (0x%04X)\n", (int)length, text, value);
  else
    fprintf(stderr, "velkan-firmware: %s\n", VelkanErrorText(rc));
  if (reader > 0) DllCloseReader(reader);
  return rc != 0;
}
