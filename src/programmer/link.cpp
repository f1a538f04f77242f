// SPDX-License-Identifier: Apache-2.0
#include "programmer/link.h"

#include <algorithm>
#include <cstring>

#include "velkan/velkan.h"

namespace velkan {

std::uint8_t FrameTypeByte(int type) {
  switch (type) {
    case 1:
      return 2;
    case 2:
    case 16:
      return 3;
    case 3:
      return 1;
    default:
      return 0;
  }
}

int StatusError(std::uint8_t status) {
  switch (status) {
    case 0:
      return 0;
    case 1:
      return VELKAN_ERR_STATUS_CHECK;
    case 3:
      return VELKAN_ERR_STATUS_3;
    case 4:
      return VELKAN_ERR_STATUS_4;
    case 5:
    case 6:
      return VELKAN_ERR_STATUS_5_6;
    case 8:
      return VELKAN_ERR_STATUS_8;
    case 9:
      return VELKAN_ERR_STATUS_9;
    case 10:
      return VELKAN_ERR_STATUS_10;
    case 11:
      return VELKAN_ERR_STATUS_11;
    case 12:
      return VELKAN_ERR_STATUS_12;
    case 0xFE:
      return VELKAN_ERR_STATUS_FE;
    default:
      return VELKAN_ERR_STATUS_OTHER;
  }
}

std::uint8_t XorBytes(const std::uint8_t* bytes, std::size_t n) {
  std::uint8_t x = 0;
  for (std::size_t i = 0; i < n; ++i) x ^= bytes[i];
  return x;
}

Link::Link(std::unique_ptr<hid::Device> device) : device_(std::move(device)) {}

bool Link::Send(std::uint8_t frameType, std::uint8_t command, const std::uint8_t* data,
                std::size_t n) {
  lastError_ = 0;
  if (n > kMaxRequestData || (data == nullptr && n > 0)) {
    lastError_ = VELKAN_ERR_BAD_ARGUMENT;
    return false;
  }
  std::uint8_t* f = frame_.data();
  f[0] = frameType;
  f[1] = command;
  f[2] = static_cast<std::uint8_t>(n & 0xFF);
  f[3] = static_cast<std::uint8_t>(n >> 8);
  if (n > 0) std::memcpy(f + 4, data, n);
  // The frame type is not part of the check byte.
  f[n + 4] = XorBytes(f + 1, n + 3);

  DropStaleInput();
  const std::size_t total = n + 5;
  std::size_t offset = 0;
  hid::Report report;
  while (offset < total) {
    const std::size_t chunk = std::min<std::size_t>(hid::kReportSize - 1, total - offset);
    report.fill(0);
    report[0] = kOutputReportId;
    std::memcpy(report.data() + 1, f + offset, chunk);
    if (!device_->WriteReport(report)) {
      lastError_ = device_->LastError();
      return false;
    }
    offset += chunk;
  }
  return true;
}

bool Link::ReadOne(hid::Report& report, std::size_t& delivered) {
  report.fill(0);
  report[0] = kInputReportId;
  delivered = 0;
  if (!device_->ReadReport(report, delivered)) {
    lastError_ = device_->LastError();
    return false;
  }
  if (delivered <= 1) {
    lastError_ = VELKAN_ERR_EMPTY_REPORT;
    return false;
  }
  delivered = std::min(delivered, hid::kReportSize);
  return true;
}

void Link::DropStaleInput() {
  // A report a device still owes arrives within a few USB frames; a device
  // that stopped sending costs this wait once.
  constexpr int kOwedReportWaitMs = 50;
  hid::Report scratch;
  std::size_t delivered = 0;
  while (owedBytes_ > 0 && device_->ReadReportWithin(scratch, delivered, kOwedReportWaitMs)) {
    const std::size_t carried = delivered > 1 ? std::min(delivered, hid::kReportSize) - 1 : 0;
    owedBytes_ -= std::min(owedBytes_, carried);
    if (carried == 0) break;
  }
  owedBytes_ = 0;
  device_->DiscardPending();
}

bool Link::Receive(std::uint8_t* out, std::size_t capacity, std::size_t& n) {
  owedBytes_ = 0;
  lastError_ = 0;
  frame_.fill(0);
  std::uint8_t* f = frame_.data();

  // Header: frame type, command, status, N low, N high. The first report
  // normally carries all of it; shorter reports are collected until it is
  // complete.
  constexpr std::size_t kHeader = 5;
  std::size_t collected = 0;
  std::size_t total = 0;  // whole frame, known once the header is in
  hid::Report report;
  std::size_t delivered = 0;
  while (total == 0 || collected < total) {
    if (!ReadOne(report, delivered)) {
      if (total > collected) owedBytes_ = total - collected;
      return false;
    }
    const std::size_t want = total == 0 ? kFrameBufferSize - collected : total - collected;
    const std::size_t take = std::min(delivered - 1, want);
    std::memcpy(f + collected, report.data() + 1, take);
    collected += take;
    if (total == 0 && collected >= kHeader) {
      const std::size_t declared = f[3] | (static_cast<std::size_t>(f[4]) << 8);
      const std::size_t whole = declared + 6;
      const int status = StatusError(f[2]);
      if (status != 0 || declared > kMaxReplyData) {
        owedBytes_ = whole > collected ? whole - collected : 0;
        lastError_ = status != 0 ? status : VELKAN_ERR_REPLY_TOO_LONG;
        return false;
      }
      total = declared + 6;
      // Bytes beyond the frame in the last report are not part of it.
      collected = std::min(collected, total);
    }
  }

  const std::size_t dataLength = total - 6;
  if (XorBytes(f + 1, total - 2) != f[total - 1]) {
    lastError_ = VELKAN_ERR_STATUS_CHECK;
    return false;
  }
  if (dataLength > capacity) {
    lastError_ = VELKAN_ERR_REPLY_TOO_LONG;
    return false;
  }
  if (dataLength > 0) std::memcpy(out, f + 5, dataLength);
  n = dataLength;
  return true;
}

bool Link::Close() {
  return device_->Close();
}

bool Link::Lock(bool wait) {
  if (device_->Lock(wait)) return true;
  lastError_ = device_->LastError();
  return false;
}

void Link::Unlock() {
  device_->Unlock();
}

}  // namespace velkan
