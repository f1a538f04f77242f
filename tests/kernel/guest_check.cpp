// Helpers of the test guest (tests/kernel), linked statically:
//   velkan_guest_check stale-reply
//       through the C API on the first programmer: a request answered with a
//       refused 600-byte reply (the responder runs with --overflow-at 89),
//       then the firmware version and the offline file name, which must
//       both come back at once and right.
//   velkan_guest_check flash-equals FLASH_BIN HEX_FILE
//       whether the chip flash saved by the emulator holds exactly the image
//       the HEX file describes (0xFF where it has no data).
//   velkan_guest_check programmers
//       lists the programmers through the C API, one line each (path,
//       VID:PID, serial, port, product), and opens each by its path and
//       asks for its firmware version.
//   velkan_guest_check run-as UID COMMAND [ARG...]
//       runs COMMAND with user and group UID and no supplementary groups.
// Each prints one line saying what it found; exit 0 when it holds.
#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "image/chip_image.h"
#include "image/hex_loader.h"
#include "velkan/velkan.h"

namespace {

class DropOutside final : public velkan::Dialogs {
 public:
  velkan::MsgResult MessageBox(std::string_view, std::string_view, velkan::MsgButtons,
                               velkan::MsgIcon) override {
    return velkan::MsgResult::kYes;
  }
};

int FlashEquals(const char* flashPath, const char* hexPath) {
  std::ifstream in(flashPath, std::ios::binary);
  const std::vector<char> flash((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  DropOutside dialogs;
  velkan::HexFile hex;
  if (velkan::ReadHexFile(dialogs, hexPath, hex) != velkan::HexLoadResult::kOk) {
    std::printf("flash-equals: cannot load %s\n", hexPath);
    return 1;
  }
  const auto image = velkan::BuildChipImage(hex.lines);
  if (!image || flash.size() != image->size()) {
    std::printf("flash-equals: %s has %zu bytes, the image %zu\n", flashPath, flash.size(),
                image ? image->size() : 0);
    return 1;
  }
  for (std::size_t i = 0; i < flash.size(); ++i) {
    if (static_cast<std::uint8_t>(flash[i]) != (*image)[i]) {
      std::printf("flash-equals: first difference at chip address 0x%04zX: %02X, image %02X\n",
                  i + velkan::kAppStart, static_cast<unsigned>(static_cast<std::uint8_t>(flash[i])),
                  static_cast<unsigned>((*image)[i]));
      return 1;
    }
  }
  std::printf("flash-equals: %zu bytes equal\n", flash.size());
  return 0;
}

int StaleReply() {
  const int reader = DllOpenReader();
  if (reader <= 0) {
    std::printf("stale-reply: DllOpenReader gave %d\n", reader);
    return 1;
  }
  char name[VELKAN_OFFLINE_NAME_MAX] = "KERNEL.HEX";
  const unsigned int nameLength = static_cast<unsigned int>(std::strlen(name));
  int rc = DllSetOfflineFileName(reader, name, nameLength);
  if (rc != 0) {
    std::printf("stale-reply: DllSetOfflineFileName gave %d\n", rc);
    return 1;
  }

  // The version request gets the 600-byte reply: refused, its reports left
  // behind in the kernel's queue.
  char version[VELKAN_VERSION_TEXT_MAX];
  unsigned int versionLength = 0;
  unsigned int value = 0;
  rc = DllGetFirmwareVersion(reader, version, &versionLength, &value);
  if (rc == 0) {
    std::printf("stale-reply: the 600-byte reply was accepted\n");
    return 1;
  }
  std::printf("stale-reply: 600-byte reply refused with %d\n", rc);

  rc = DllGetFirmwareVersion(reader, version, &versionLength, &value);
  const std::string text(version, rc == 0 ? std::min<unsigned>(versionLength, sizeof version) : 0);
  if (rc != 0 || text.find(velkan::emu::kFirmwareVersionText) == std::string::npos) {
    std::printf("stale-reply: next DllGetFirmwareVersion gave %d, \"%s\"\n", rc, text.c_str());
    return 1;
  }
  unsigned int gotLength = 0;
  char got[VELKAN_OFFLINE_NAME_MAX];
  rc = DllGetOfflineFileName(reader, got, &gotLength);
  const std::string gotName(got, rc == 0 ? std::min<unsigned>(gotLength, sizeof got) : 0);
  if (rc != 0 || gotName.compare(0, nameLength, name) != 0) {
    std::printf("stale-reply: then DllGetOfflineFileName gave %d, \"%s\"\n", rc, gotName.c_str());
    return 1;
  }
  DllCloseReader(reader);
  std::printf("stale-reply: recovered at once (version \"%s\", name \"%s\")\n", text.c_str(),
              gotName.c_str());
  return 0;
}

int Programmers() {
  VelkanProgrammerInfo list[8];
  const int count = VelkanListProgrammers(list, 8);
  if (count <= 0) {
    std::printf("programmers: none listed (%d)\n", count);
    return 1;
  }
  int failures = 0;
  for (int i = 0; i < std::min(count, 8); ++i) {
    const VelkanProgrammerInfo& p = list[i];
    char version[VELKAN_VERSION_TEXT_MAX];
    unsigned int versionLength = 0;
    unsigned int value = 0;
    const int reader = VelkanOpenReaderPath(p.path);
    const int rc = reader > 0 ? DllGetFirmwareVersion(reader, version, &versionLength, &value) : -2;
    if (reader > 0) DllCloseReader(reader);
    std::printf("%s\t%04X:%04X\t%s\t%s\t%s\t%s\n", p.path, p.vendorId, p.productId, p.serial,
                p.port, p.product, rc == 0 ? "version ok" : VelkanErrorText(rc));
    if (rc != 0) ++failures;
  }
  return failures == 0 ? 0 : 1;
}

int RunAs(int argc, char** argv) {
  const auto id = static_cast<uid_t>(std::strtoul(argv[2], nullptr, 10));
  if (setgroups(0, nullptr) != 0 || setgid(id) != 0 || setuid(id) != 0) {
    std::perror("run-as");
    return 126;
  }
  (void)argc;
  execv(argv[3], argv + 3);
  std::perror("run-as: exec");
  return 127;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string what = argc > 1 ? argv[1] : "";
  if (what == "stale-reply" && argc == 2) return StaleReply();
  if (what == "flash-equals" && argc == 4) return FlashEquals(argv[2], argv[3]);
  if (what == "programmers" && argc == 2) return Programmers();
  if (what == "run-as" && argc >= 4) return RunAs(argc, argv);
  std::fprintf(stderr,
               "usage: velkan_guest_check stale-reply | flash-equals FLASH_BIN HEX_FILE | "
               "programmers | run-as UID COMMAND [ARG...]\n");
  return 2;
}
