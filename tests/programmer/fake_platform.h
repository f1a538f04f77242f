// A scripted HID platform: devices with chosen identities and failures, a
// queue of input reports per device, and a record of every output report.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "programmer/hid_platform.h"

namespace velkan::test {

struct Input {
  hid::Report report{};
  std::size_t delivered = hid::kReportSize;
  int error = 0;  // non-zero: the read fails with this code
};

struct FakeDevice {
  std::string path;
  std::uint16_t vendorId = 0x0755;
  std::uint16_t productId = 0x0102;
  bool openFails = false;
  int openError = 13;  // what DescribeUnopenable tells of a refused open
  bool attributesFail = false;
  bool identityFails = false;
  std::string serial;
  bool closeFails = false;
  std::optional<std::size_t> failWriteAt;  // index of the write that fails
  int writeError = 5;

  int opens = 0;
  int closes = 0;
  std::vector<hid::Report> written;
  std::deque<Input> inputs;
  int reads = 0;

  // Queues a reply frame (status, N, data, check byte) cut into reports of
  // 63 frame bytes. `check`: a check byte to use instead of the right one.
  void QueueReply(std::uint8_t status, const std::vector<std::uint8_t>& data,
                  std::optional<std::uint8_t> check = std::nullopt, std::uint8_t command = 0);
  // Queues a raw frame as given.
  void QueueFrame(const std::vector<std::uint8_t>& frame);
  void QueueReadError(int code) { inputs.push_back({{}, 0, code}); }
  // The frame bytes of the output reports written so far (report ID dropped,
  // trailing padding of the last report kept).
  std::vector<std::uint8_t> SentBytes() const;
};

class FakePlatform final : public hid::Platform {
 public:
  FakeDevice& Add(std::uint16_t vendorId = 0x0755, std::uint16_t productId = 0x0102);

  bool unavailable = false;
  std::optional<std::size_t> failedAt;     // At(index) reports kFailed
  std::optional<std::size_t> pathFailsAt;  // DevicePath(index) fails
  std::vector<std::unique_ptr<FakeDevice>> devices;

  std::unique_ptr<hid::InterfaceSet> PresentInterfaces() override;
  std::unique_ptr<hid::Device> Open(const std::string& path) override;
  std::optional<hid::Refusal> DescribeUnopenable(const std::string& path) override;
};

// Bytes of a frame with its check byte, as the programmer would answer.
std::vector<std::uint8_t> ReplyFrame(std::uint8_t status, const std::vector<std::uint8_t>& data,
                                     std::uint8_t command = 0);

}  // namespace velkan::test
