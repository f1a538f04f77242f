// SPDX-License-Identifier: Apache-2.0
#include "programmer/programmer.h"

#include <algorithm>
#include <cstring>

#include "common/clock.h"
#include "velkan/velkan.h"

namespace velkan {

namespace {

// Keeps other openers of the programmer (other processes too) out for one
// exchange, or a sequence of exchanges that belong together.
class ExchangeHold {
 public:
  explicit ExchangeHold(Link& link) : link_(link), held_(link.Lock(true)) {}
  ~ExchangeHold() {
    if (held_) link_.Unlock();
  }
  ExchangeHold(const ExchangeHold&) = delete;
  ExchangeHold& operator=(const ExchangeHold&) = delete;
  explicit operator bool() const { return held_; }

 private:
  Link& link_;
  bool held_;
};

}  // namespace

Programmer::Programmer(std::unique_ptr<hid::Device> device, std::atomic<bool>& firstBlock)
    : link_(std::move(device)), firstBlock_(firstBlock) {}

int Programmer::Refuse(int error) {
  link_.SetLastError(error);
  return error;
}

int Programmer::Exchange(std::uint8_t cmd, const std::uint8_t* data, std::size_t n,
                         std::uint8_t* out, std::size_t capacity, std::size_t& replyLength) {
  ExchangeHold hold(link_);
  if (!hold) return link_.LastError();
  if (!link_.Send(0, cmd, data, n)) return link_.LastError();
  if (!link_.Receive(out, capacity, replyLength)) return link_.LastError();
  return 0;
}

int Programmer::Simple(std::uint8_t cmd, const std::uint8_t* data, std::size_t n) {
  std::size_t replyLength = 0;
  return Exchange(cmd, data, n, area_, kReplyArea, replyLength);
}

int Programmer::SendData(int type, std::uint8_t cmd, const std::uint8_t* data, int n) {
  if (n < 0) {
    Refuse(VELKAN_ERR_BAD_ARGUMENT);
    return 0;
  }
  // The hold lasts until the reply has been received (RevData).
  if (!rawHeld_) {
    if (!link_.Lock(true)) return 0;
    rawHeld_ = true;
  }
  return link_.Send(FrameTypeByte(type), cmd, data, static_cast<std::size_t>(n)) ? 1 : 0;
}

int Programmer::RevData(std::uint8_t* data, int* n) {
  if (data == nullptr || n == nullptr) {
    Refuse(VELKAN_ERR_BAD_ARGUMENT);
    return 0;
  }
  std::size_t length = 0;
  const bool ok = link_.Receive(data, kMaxReplyData, length);
  if (rawHeld_) {
    rawHeld_ = false;
    link_.Unlock();
  }
  if (!ok) return 0;
  *n = static_cast<int>(length);
  return 1;
}

int Programmer::Reset7816Card(std::uint8_t* atr, int* atrLength) {
  if (atr == nullptr || atrLength == nullptr) return Refuse(VELKAN_ERR_BAD_ARGUMENT);
  const std::uint8_t one = 0x01;
  std::size_t n = 0;
  if (int rc = Exchange(command::kReset7816, &one, 1, area_, kReplyArea, n); rc != 0) return rc;
  // An ISO/IEC 7816-3 answer-to-reset starts with 3B (direct) or 3F
  // (inverse convention) and is at most 33 bytes long.
  if (n < 2 || n > kAtrMax || (area_[0] != 0x3B && area_[0] != 0x3F)) return VELKAN_ERR_BAD_ATR;
  std::memcpy(atr, area_, n);
  *atrLength = static_cast<int>(n);
  return 0;
}

int Programmer::Card7816Powerdown() {
  return Simple(command::kPowerdown7816);
}

int Programmer::Card7816Apdu(const std::uint8_t* apdu, int apduLength, std::uint8_t* response,
                             int* responseLength, std::size_t responseCapacity) {
  if (apduLength < 0 || static_cast<std::size_t>(apduLength) > kMaxRequestData ||
      (apdu == nullptr && apduLength > 0) || response == nullptr || responseLength == nullptr) {
    return Refuse(VELKAN_ERR_BAD_ARGUMENT);
  }
  std::size_t n = 0;
  if (int rc = Exchange(command::kApdu, apdu, static_cast<std::size_t>(apduLength), response,
                        responseCapacity, n);
      rc != 0) {
    return rc;
  }
  *responseLength = static_cast<int>(n);
  return 0;
}

int Programmer::I2cGetStatus(std::uint8_t* state) {
  if (state == nullptr) return Refuse(VELKAN_ERR_BAD_ARGUMENT);
  std::memset(area_, 0, sizeof area_);
  if (int rc = Simple(command::kGetStatus); rc != 0) return rc;
  *state = area_[0] & 0x01;
  return 0;
}

int Programmer::GetFirmwareVersion(char* version, unsigned* versionLength, unsigned* value) {
  if (version == nullptr || versionLength == nullptr || value == nullptr) {
    return Refuse(VELKAN_ERR_BAD_ARGUMENT);
  }
  std::size_t n = 0;
  if (int rc = Exchange(command::kFirmwareVersion, nullptr, 0, area_, kReplyArea, n); rc != 0) {
    return rc;
  }
  // L (2 bytes), the text, a 16-bit value; L counts the whole structure.
  const std::size_t l = n >= 2 ? (area_[0] | (static_cast<std::size_t>(area_[1]) << 8)) : 0;
  if (l < 4 || l > n) return Refuse(VELKAN_ERR_BAD_VERSION);
  std::memcpy(version, area_ + 2, l - 4);
  *versionLength = static_cast<unsigned>(l - 4);
  *value = area_[l - 2] | (static_cast<unsigned>(area_[l - 1]) << 8);
  return 0;
}

int Programmer::FirmwareStart() {
  if (int rc = Simple(command::kFirmwareStart); rc != 0) return rc;
  GetClock().SleepMs(kFirmwareWaitMs);
  return 0;
}

int Programmer::FirmwareHeaderBlock(const std::uint8_t* header) {
  if (header == nullptr) return Refuse(VELKAN_ERR_BAD_ARGUMENT);
  return Simple(command::kFirmwareHeader, header, kFirmwareHeaderSize);
}

int Programmer::FirmwareDataBlock(const std::uint8_t* data, std::size_t n) {
  if (data == nullptr || n == 0 || n > kFirmwareBlockSize) return Refuse(VELKAN_ERR_BAD_ARGUMENT);
  return Simple(command::kFirmwareBlock, data, n);
}

int Programmer::DownloadFirmwareStart() {
  if (int rc = FirmwareStart(); rc != 0) return rc;
  firstBlock_.store(true);
  return 0;
}

int Programmer::DownloadFirmware(const std::uint8_t* data, int count) {
  if (count < 0 || (data == nullptr && count > 0)) return Refuse(VELKAN_ERR_BAD_ARGUMENT);
  const auto total = static_cast<std::size_t>(count);
  // The first call of an update must carry the whole 8-byte header block.
  if (firstBlock_.load() && total < kFirmwareHeaderSize) return Refuse(VELKAN_ERR_BAD_ARGUMENT);
  link_.SetLastError(0);
  ExchangeHold hold(link_);
  if (!hold) return link_.LastError();
  std::size_t offset = 0;
  if (firstBlock_.exchange(false)) {
    if (int rc = FirmwareHeaderBlock(data); rc != 0) return rc;
    offset = kFirmwareHeaderSize;
  }
  while (offset < total) {
    const std::size_t chunk = std::min(kFirmwareBlockSize, total - offset);
    if (int rc = FirmwareDataBlock(data + offset, chunk); rc != 0) return rc;
    offset += chunk;
  }
  return 0;
}

int Programmer::DownloadFirmwareComplete(const std::uint8_t* data, int length) {
  if (length < 0 || static_cast<std::size_t>(length) > kMaxFirmwareClosingData ||
      (data == nullptr && length > 0)) {
    return Refuse(VELKAN_ERR_BAD_ARGUMENT);
  }
  if (int rc = Simple(command::kFirmwareComplete, data, static_cast<std::size_t>(length));
      rc != 0) {
    return rc;
  }
  GetClock().SleepMs(kFirmwareWaitMs);
  return 0;
}

int Programmer::I2cWrite(std::uint8_t address, const std::uint8_t* data, unsigned long length) {
  if (length > kMaxI2cWriteData || (data == nullptr && length > 0)) {
    return Refuse(VELKAN_ERR_BAD_ARGUMENT);
  }
  std::uint8_t request[3 + kMaxI2cWriteData];
  request[0] = address & 0xFE;
  request[1] = static_cast<std::uint8_t>(length & 0xFF);
  request[2] = static_cast<std::uint8_t>(length >> 8);
  if (length > 0) std::memcpy(request + 3, data, length);
  return Simple(command::kI2cWrite, request, length + 3);
}

int Programmer::I2cRead(std::uint8_t address, std::uint8_t* data, unsigned long* length) {
  if (data == nullptr || length == nullptr) return Refuse(VELKAN_ERR_BAD_ARGUMENT);
  const unsigned long requested = *length;
  const std::uint8_t request[3] = {static_cast<std::uint8_t>(address | 0x01),
                                   static_cast<std::uint8_t>(requested & 0xFF),
                                   static_cast<std::uint8_t>((requested >> 8) & 0xFF)};
  std::size_t n = 0;
  if (int rc = Exchange(command::kI2cRead, request, 3, data, requested, n); rc != 0) return rc;
  *length = n;
  return 0;
}

int Programmer::I2cCommand(std::uint8_t address, const std::uint8_t* cmd, unsigned long count,
                           std::uint8_t* response, unsigned long* responseLength) {
  if (response == nullptr || responseLength == nullptr) return Refuse(VELKAN_ERR_BAD_ARGUMENT);
  // Write and read belong together: no other opener in between.
  ExchangeHold hold(link_);
  if (!hold) return link_.LastError();
  if (int rc = I2cWrite(address & 0xFE, cmd, count); rc != 0) return rc;
  if (count > 0) {
    // The chip needs time for a page erase and for the image check.
    if (cmd[0] == 0x07) GetClock().SleepMs(kEraseWaitMs);
    if (cmd[0] == 0x40) GetClock().SleepMs(kCrcWaitMs);
  }
  if (int rc = I2cRead(address | 0x01, response, responseLength); rc != 0) return rc;
  // Only a response starting with 0x90 carries data; otherwise only the two
  // status bytes count (never more than were delivered).
  if (*responseLength == 0 || response[0] != 0x90) {
    *responseLength = std::min(*responseLength, 2UL);
  }
  return 0;
}

int Programmer::I2cRePower() {
  return Simple(command::kI2cRePower);
}

int Programmer::LedControl(std::uint8_t value) {
  return Simple(command::kLed, &value, 1);
}

int Programmer::SpeakerControl(std::uint8_t value) {
  return Simple(command::kSpeaker, &value, 1);
}

int Programmer::GetOfflineFileName(char* name, unsigned* nameLength) {
  if (name == nullptr || nameLength == nullptr) return Refuse(VELKAN_ERR_BAD_ARGUMENT);
  std::size_t n = 0;
  if (int rc = Exchange(command::kGetOfflineName, nullptr, 0, area_, kReplyArea, n); rc != 0) {
    return rc;
  }
  std::memcpy(name, area_, n);
  *nameLength = static_cast<unsigned>(n);
  return 0;
}

int Programmer::SetOfflineFileName(const char* name, unsigned nameLength) {
  if (nameLength > kMaxOfflineName || (name == nullptr && nameLength > 0)) {
    return Refuse(VELKAN_ERR_BAD_ARGUMENT);
  }
  return Simple(command::kSetOfflineName, reinterpret_cast<const std::uint8_t*>(name), nameLength);
}

int Programmer::EraseOfflineData() {
  return Simple(command::kEraseOffline);
}

int Programmer::WriteOfflineData(std::uint16_t number, std::uint8_t kind,
                                 const std::uint8_t* content, std::uint8_t length) {
  if (content == nullptr && length > 0) return Refuse(VELKAN_ERR_BAD_ARGUMENT);
  std::uint8_t record[4 + 255];
  record[0] = static_cast<std::uint8_t>(number & 0xFF);
  record[1] = static_cast<std::uint8_t>(number >> 8);
  record[2] = kind;
  record[3] = length;
  if (length > 0) std::memcpy(record + 4, content, length);
  return Simple(command::kWriteOffline, record, 4u + length);
}

int Programmer::WaveToBoot() {
  return Simple(command::kWaveToBoot);
}

}  // namespace velkan
