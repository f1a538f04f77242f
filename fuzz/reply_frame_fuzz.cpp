// libFuzzer target: arbitrary bytes as the programmer's input reports. A
// scripted platform hands them to the link 64 at a time (the first byte of
// each chunk chooses how many bytes the read delivers, or a failed read), and
// every operation of the command set is called once, in turn, on what
// comes. Every length reported back must fit the caller's buffer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/clock.h"
#include "programmer/backend.h"
#include "programmer/hid_platform.h"
#include "programmer/internal_api.h"
#include "velkan/velkan.h"

namespace {

using velkan::hid::Report;

struct Feed {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::size_t pos = 0;
};

class ScriptedDevice final : public velkan::hid::Device {
 public:
  explicit ScriptedDevice(Feed& feed) : feed_(feed) {}
  bool GetAttributes(velkan::hid::Attributes& out) override {
    out.vendorId = velkan::kProgrammerVendorId;
    out.productId = velkan::kProgrammerProductId;
    return true;
  }
  bool WriteReport(const Report& report) override {
    if (report[0] != 3) std::abort();  // the link sends output reports only
    return true;
  }
  bool ReadReport(Report& report, std::size_t& delivered) override {
    if (feed_.pos >= feed_.size) return Fail(110);
    const std::uint8_t control = feed_.data[feed_.pos++];
    if (control == 0xFF) return Fail(5);
    report.fill(0);
    report[0] = 4;
    const std::size_t take = std::min<std::size_t>(63, feed_.size - feed_.pos);
    std::memcpy(report.data() + 1, feed_.data + feed_.pos, take);
    feed_.pos += take;
    delivered = 1 + control % 64;
    return true;
  }
  bool Close() override { return true; }
  int LastError() const override { return lastError_; }

 private:
  bool Fail(int code) {
    lastError_ = code;
    return false;
  }
  Feed& feed_;
  int lastError_ = 0;
};

class ScriptedSet final : public velkan::hid::InterfaceSet {
 public:
  Item At(std::size_t index) override { return index == 0 ? Item::kPresent : Item::kNoMore; }
  bool DevicePath(std::size_t index, std::string& path) override {
    if (index != 0) return false;
    path = "fuzz";
    return true;
  }
};

class ScriptedPlatform final : public velkan::hid::Platform {
 public:
  explicit ScriptedPlatform(Feed& feed) : feed_(feed) {}
  std::unique_ptr<velkan::hid::InterfaceSet> PresentInterfaces() override {
    return std::make_unique<ScriptedSet>();
  }
  std::unique_ptr<velkan::hid::Device> Open(const std::string& path) override {
    if (path != "fuzz") return nullptr;
    return std::make_unique<ScriptedDevice>(feed_);
  }

 private:
  Feed& feed_;
};

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velkan::VirtualClock clock;
  velkan::ScopedClock scoped(clock);
  Feed feed{data, size, 0};
  velkan::UsePlatform(std::make_shared<ScriptedPlatform>(feed));
  const int h = DllOpenReader();
  Check(h > 0);

  unsigned char buffer[600];
  unsigned char request[300] = {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00};
  for (int pass = 0; pass < 2 && feed.pos < feed.size; ++pass) {
    int n = 0;
    if (SKSendData(h, 1, 0x75, request, 7) == 1 && SKRevData(h, 1, 0x75, buffer, &n) == 1) {
      Check(n >= 0 && n <= 594);
    }
    int atrLength = 0;
    if (DllReset7816Card(h, buffer, &atrLength) == 0) Check(atrLength >= 2 && atrLength <= 33);
    Dll7816CardPowerdown(h);
    int responseLength = 0;
    if (Dll7816CardAPDU(h, request, 7, 0, buffer, &responseLength) == 0) {
      Check(responseLength >= 0 && responseLength <= VELKAN_APDU_RESPONSE_MAX);
    }
    if (velkan::Card7816ApduWithCapacity(h, request, 7, buffer, 300, &responseLength) == 0) {
      Check(responseLength >= 0 && responseLength <= 300);
    }
    unsigned char state = 0xEE;
    if (DllI2cGetStatus(h, &state) == 0) Check(state <= 1);
    if (DllGet7816CardState(h, &state) == 0) Check(state <= 1);
    char text[VELKAN_VERSION_TEXT_MAX];
    unsigned int textLength = 0, value = 0;
    if (DllGetFirmwareVersion(h, text, &textLength, &value) == 0) {
      Check(textLength <= VELKAN_VERSION_TEXT_MAX);
    }
    DllDownloadFirmwareStart(h);
    DllDownloadFirmware(h, request, 300);
    DllDownloadFirmwareComplete(h, request, 4);
    DllLedControl(h, 1);
    DllSpeakerControl(h, 2);
    DllI2cWrite(h, 0xA0, request, 12);
    unsigned long length = 2;
    if (DllI2cRead(h, 0xA0, buffer, &length) == 0) Check(length <= 2);
    unsigned char command[4] = {0x07, 0x00, 0x00, 0x00};
    length = 40;
    if (DllI2cCommand(h, 0xA0, command, 4, buffer, &length) == 0) Check(length <= 40);
    DllI2cRePower(h);
    DllWaveToBoot(h);
    char name[VELKAN_OFFLINE_NAME_MAX];
    unsigned int nameLength = 0;
    if (DllGetOfflineFileName(h, name, &nameLength) == 0) {
      Check(nameLength <= VELKAN_OFFLINE_NAME_MAX);
    }
    char newName[] = "fuzz.hex";
    DllSetOfflineFileName(h, newName, 8);
    DllEraseOfflineData(h);
    DllWriteOfflineData(h, 1, 2, request, 7);
  }
  Check(DllCloseReader(h) == 0);
  velkan::UseSystemHid();
  return 0;
}
