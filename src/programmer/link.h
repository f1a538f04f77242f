// SPDX-License-Identifier: Apache-2.0
// The framed report protocol on one open programmer: a request frame goes
// out in 64-byte output reports (report ID 3), a reply frame comes back in
// input reports and is checked (status byte, check byte). Each link keeps
// its own last-error value; the C API copies it into the module-wide one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "programmer/hid_platform.h"

namespace velkan {

inline constexpr std::size_t kFrameBufferSize = 600;
inline constexpr std::size_t kMaxRequestData = kFrameBufferSize - 5;  // 595
inline constexpr std::size_t kMaxReplyData = kFrameBufferSize - 6;    // 594
inline constexpr std::uint8_t kOutputReportId = 3;
inline constexpr std::uint8_t kInputReportId = 4;

// Frame type byte sent for the type argument of SKSendData.
std::uint8_t FrameTypeByte(int type);

// Error number of a non-zero reply status byte.
int StatusError(std::uint8_t status);

// XOR of `n` bytes.
std::uint8_t XorBytes(const std::uint8_t* bytes, std::size_t n);

class Link {
 public:
  explicit Link(std::unique_ptr<hid::Device> device);
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Writes one request frame. `n` data bytes, at most kMaxRequestData
  // (more, or a null `data` with n > 0: VELKAN_ERR_BAD_ARGUMENT, nothing
  // written). False on failure, the reason in LastError(). Input that is
  // already waiting (the rest of a reply given up on) is thrown away first,
  // so the reply read next answers this request.
  bool Send(std::uint8_t frameType, std::uint8_t command, const std::uint8_t* data, std::size_t n);

  // Reads one reply frame and copies its data to `out`, which holds
  // `capacity` bytes; `n` = number of data bytes. False on failure (read
  // error, non-zero status, check byte, empty report, reply too long), the
  // reason in LastError(); `out` and `n` are then untouched.
  //
  // A reply declaring more than kMaxReplyData bytes, or with a non-zero
  // status, is refused as soon as its first report arrives; the rest of it
  // is left unread and thrown away by the next Send, which first waits (a
  // little) for the reports that reply still owes: a device sends them one
  // by one, so most of them are still on their way when the refusal comes.
  // A reply that fits the frame buffer but not `capacity` is read to its end
  // and then refused.
  bool Receive(std::uint8_t* out, std::size_t capacity, std::size_t& n);

  bool Close();

  // Holds the programmer for this link alone, across processes (see
  // hid::Device::Lock); nested holds count. False with the reason in
  // LastError() (hid::kBusyError: another opener holds it).
  bool Lock(bool wait);
  void Unlock();
  bool GetIdentity(hid::Identity& out) { return device_->GetIdentity(out); }

  int LastError() const { return lastError_; }
  void SetLastError(int value) { lastError_ = value; }

 private:
  bool ReadOne(hid::Report& report, std::size_t& delivered);
  // Reads away what an abandoned reply still owes, then whatever else has
  // arrived.
  void DropStaleInput();
  // Frame bytes of an abandoned reply still to come (its declared length
  // minus what was read of it).
  std::size_t owedBytes_ = 0;

  std::unique_ptr<hid::Device> device_;
  int lastError_ = 0;
  std::array<std::uint8_t, kFrameBufferSize> frame_{};
};

}  // namespace velkan
