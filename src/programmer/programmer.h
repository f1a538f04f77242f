// SPDX-License-Identifier: Apache-2.0
// Every operation the programmer understands, on one open programmer. Each
// is a request/reply exchange over the link (sometimes followed by a fixed
// wait, through the process clock). Results as in velkan.h: 0, a platform
// error code, or a negative error number; the reason of a failure is also
// left in LastError().
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "programmer/link.h"

namespace velkan {

inline constexpr std::size_t kReplyArea = 280;
inline constexpr std::size_t kAtrMax = 33;
inline constexpr std::size_t kApduResponseMax = 258;
inline constexpr std::size_t kMaxI2cWriteData = 277;
inline constexpr std::size_t kMaxFirmwareClosingData = 280;
inline constexpr std::size_t kMaxOfflineName = 261;
inline constexpr std::size_t kFirmwareHeaderSize = 8;
inline constexpr std::size_t kFirmwareBlockSize = 256;

namespace command {
inline constexpr std::uint8_t kReset7816 = 0x62;
inline constexpr std::uint8_t kPowerdown7816 = 0x63;
inline constexpr std::uint8_t kApdu = 0x6F;
inline constexpr std::uint8_t kWaveToBoot = 0x70;
inline constexpr std::uint8_t kI2cRePower = 0x72;
inline constexpr std::uint8_t kGetStatus = 0x75;
inline constexpr std::uint8_t kI2cWrite = 0x76;
inline constexpr std::uint8_t kI2cRead = 0x77;
inline constexpr std::uint8_t kLed = 0x78;
inline constexpr std::uint8_t kSpeaker = 0x79;
inline constexpr std::uint8_t kGetOfflineName = 0x7A;
inline constexpr std::uint8_t kSetOfflineName = 0x7B;
inline constexpr std::uint8_t kEraseOffline = 0x7C;
inline constexpr std::uint8_t kWriteOffline = 0x7D;
inline constexpr std::uint8_t kFirmwareVersion = 0x89;
inline constexpr std::uint8_t kFirmwareStart = 0x8A;
inline constexpr std::uint8_t kFirmwareHeader = 0x8B;
inline constexpr std::uint8_t kFirmwareBlock = 0x8C;
inline constexpr std::uint8_t kFirmwareComplete = 0x8D;
}  // namespace command

// Waits between the write and the read of an I2C command, by its first byte.
inline constexpr unsigned kEraseWaitMs = 550;  // 0x07
inline constexpr unsigned kCrcWaitMs = 600;    // 0x40
inline constexpr unsigned kFirmwareWaitMs = 800;

class Programmer {
 public:
  // `firstBlock`: the firmware update's first-block flag (module-wide; it
  // outlives the programmer).
  Programmer(std::unique_ptr<hid::Device> device, std::atomic<bool>& firstBlock);

  Link& link() { return link_; }
  int LastError() const { return link_.LastError(); }

  // Raw link access: 1 / 0 as the exported SKSendData / SKRevData.
  int SendData(int type, std::uint8_t command, const std::uint8_t* data, int n);
  int RevData(std::uint8_t* data, int* n);

  int Reset7816Card(std::uint8_t* atr, int* atrLength);
  int Card7816Powerdown();
  // `responseCapacity`: what `response` holds; a longer reply is refused.
  int Card7816Apdu(const std::uint8_t* apdu, int apduLength, std::uint8_t* response,
                   int* responseLength, std::size_t responseCapacity = kApduResponseMax);
  int I2cGetStatus(std::uint8_t* state);
  int GetFirmwareVersion(char* version, unsigned* versionLength, unsigned* value);
  int DownloadFirmwareStart();
  int DownloadFirmware(const std::uint8_t* data, int count);
  int DownloadFirmwareComplete(const std::uint8_t* data, int length);
  // The firmware update's exchanges one by one, for a caller that keeps
  // track of the update itself (UpdateFirmware); the first-block flag is
  // left alone. Start (0x8A) waits kFirmwareWaitMs after the reply; the
  // header block (0x8B) is kFirmwareHeaderSize bytes, a data block (0x8C)
  // 1 to kFirmwareBlockSize bytes.
  int FirmwareStart();
  int FirmwareHeaderBlock(const std::uint8_t* header);
  int FirmwareDataBlock(const std::uint8_t* data, std::size_t n);
  int I2cWrite(std::uint8_t address, const std::uint8_t* data, unsigned long length);
  int I2cRead(std::uint8_t address, std::uint8_t* data, unsigned long* length);
  int I2cCommand(std::uint8_t address, const std::uint8_t* command, unsigned long count,
                 std::uint8_t* response, unsigned long* responseLength);
  int I2cRePower();
  int LedControl(std::uint8_t value);
  int SpeakerControl(std::uint8_t value);
  int GetOfflineFileName(char* name, unsigned* nameLength);
  int SetOfflineFileName(const char* name, unsigned nameLength);
  int EraseOfflineData();
  int WriteOfflineData(std::uint16_t number, std::uint8_t kind, const std::uint8_t* content,
                       std::uint8_t length);
  int WaveToBoot();

  bool Close() {
    rawHeld_ = false;
    return link_.Close();
  }

  // Holds the programmer for a whole activity (see Link::Lock); exchanges
  // in between nest inside the hold.
  bool Hold(bool wait) { return link_.Lock(wait); }
  void Unhold() { link_.Unlock(); }

 private:
  // One request/reply exchange; the reply data go to `out` (capacity bytes).
  int Exchange(std::uint8_t command, const std::uint8_t* data, std::size_t n, std::uint8_t* out,
               std::size_t capacity, std::size_t& replyLength);
  // An exchange whose reply data, if any, land in the reply area.
  int Simple(std::uint8_t command, const std::uint8_t* data = nullptr, std::size_t n = 0);
  int Refuse(int error);

  Link link_;
  std::atomic<bool>& firstBlock_;
  // SendData took the hold of an exchange that RevData ends.
  bool rawHeld_ = false;
  std::uint8_t area_[kReplyArea] = {};
};

}  // namespace velkan
