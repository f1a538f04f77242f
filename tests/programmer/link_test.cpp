// Request frames and reports, reply reassembly and acceptance, error
// numbers and the module-wide last-error value.
#include <array>

#include "programmer/fixture.h"

namespace velkan::test {
namespace {

using LinkTest = ProgrammerTest;

TEST_F(LinkTest, FrameWithoutDataIsFiveBytesInOneReport) {
  ASSERT_EQ(SKSendData(handle_, 0, 0x72, nullptr, 0), 1);
  ASSERT_EQ(dev_->written.size(), 1u);
  hid::Report expected{};
  expected[0] = 3;
  expected[2] = 0x72;
  expected[5] = 0x72;
  EXPECT_EQ(dev_->written[0], expected);
}

TEST_F(LinkTest, FrameSplitsAfterSixtyThreeBytes) {
  std::array<std::uint8_t, 59> data{};
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i + 1);
  ASSERT_EQ(SKSendData(handle_, 0, 0x10, data.data(), 58), 1);
  EXPECT_EQ(dev_->written.size(), 1u);
  dev_->written.clear();

  ASSERT_EQ(SKSendData(handle_, 0, 0x10, data.data(), 59), 1);
  ASSERT_EQ(dev_->written.size(), 2u);
  const hid::Report& second = dev_->written[1];
  EXPECT_EQ(second[0], 3);
  std::uint8_t check = 0x10 ^ 59;
  for (auto b : data) check ^= b;
  EXPECT_EQ(second[1], check);
  for (std::size_t i = 2; i < second.size(); ++i) EXPECT_EQ(second[i], 0) << i;
}

TEST_F(LinkTest, FrameTypeMapsAndStaysOutOfTheCheckByte) {
  std::uint8_t data[] = {0x11, 0x22};
  const std::pair<int, std::uint8_t> types[] = {{0, 0}, {1, 2}, {2, 3}, {16, 3}, {3, 1}, {7, 0}};
  for (auto [type, byte] : types) {
    ASSERT_EQ(SKSendData(handle_, type, 0x40, data, 2), 1);
    EXPECT_EQ(Sent(7), (Bytes{byte, 0x40, 2, 0, 0x11, 0x22, 0x40 ^ 2 ^ 0x11 ^ 0x22})) << type;
  }
}

TEST_F(LinkTest, RequestLimitsAreRefusedBeforeAnythingIsSent) {
  std::array<std::uint8_t, 596> data{};
  EXPECT_EQ(SKSendData(handle_, 0, 1, data.data(), 596), 0);
  EXPECT_EQ(LastErrorValue(), VELKAN_ERR_BAD_ARGUMENT);
  EXPECT_EQ(SKSendData(handle_, 0, 1, nullptr, 3), 0);
  EXPECT_EQ(SKSendData(handle_, 0, 1, data.data(), -1), 0);
  EXPECT_TRUE(dev_->written.empty());
  EXPECT_EQ(SKSendData(handle_, 0, 1, data.data(), 595), 1);
  EXPECT_EQ(dev_->written.size(), 10u);  // 600 frame bytes
}

TEST_F(LinkTest, ReplyIsAcceptedOnTheCheckByteOnly) {
  std::array<std::uint8_t, 594> out{};
  int n = -1;
  dev_->QueueFrame({0x00, 0x77, 0x00, 0x02, 0x00, 0x90, 0x00, 0xE5});
  ASSERT_EQ(SKRevData(handle_, 0, 0, out.data(), &n), 1);
  EXPECT_EQ(n, 2);
  EXPECT_EQ(out[0], 0x90);
  EXPECT_EQ(out[1], 0x00);

  n = -1;
  dev_->QueueFrame({0x00, 0x77, 0x00, 0x02, 0x00, 0x90, 0x00, 0xE4});
  EXPECT_EQ(SKRevData(handle_, 0, 0, out.data(), &n), 0);
  EXPECT_EQ(LastErrorValue(), VELKAN_ERR_STATUS_CHECK);
  EXPECT_EQ(n, -1);

  // Frame type is not examined; the command byte is part of the check.
  dev_->QueueFrame({0x5A, 0x77, 0x00, 0x02, 0x00, 0x90, 0x00, 0xE5});
  EXPECT_EQ(SKRevData(handle_, 0, 0, out.data(), &n), 1);
  dev_->QueueFrame({0x00, 0x76, 0x00, 0x02, 0x00, 0x90, 0x00, 0xE5});
  EXPECT_EQ(SKRevData(handle_, 0, 0, out.data(), &n), 0);
}

TEST_F(LinkTest, LongReplyIsCollectedFromThreeReports) {
  Bytes data(150);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  dev_->QueueReply(0, data);
  ASSERT_EQ(dev_->inputs.size(), 3u);
  // The last report carries 30 frame bytes followed by noise that is not
  // part of the frame.
  dev_->inputs.back().report[40] = 0xEE;
  std::array<std::uint8_t, 594> out{};
  int n = 0;
  ASSERT_EQ(SKRevData(handle_, 0, 0, out.data(), &n), 1);
  EXPECT_EQ(n, 150);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));
  EXPECT_EQ(dev_->reads, 3);
}

TEST_F(LinkTest, ShortReportsAreCollectedByWhatTheyDeliver) {
  const Bytes frame = ReplyFrame(0, {1, 2, 3, 4});
  for (std::size_t i = 0; i < frame.size(); i += 3) {
    Input in;
    in.report[0] = 4;
    for (std::size_t j = 0; j < 3 && i + j < frame.size(); ++j) in.report[1 + j] = frame[i + j];
    in.delivered = 4;
    dev_->inputs.push_back(in);
  }
  std::array<std::uint8_t, 594> out{};
  int n = 0;
  ASSERT_EQ(SKRevData(handle_, 0, 0, out.data(), &n), 1);
  EXPECT_EQ(n, 4);
  EXPECT_EQ(out[3], 4);
}

TEST_F(LinkTest, StatusTable) {
  const std::pair<int, int> table[] = {
      {1, -14}, {2, -30},  {3, -9},   {4, -13},  {5, -8},   {6, -8},    {7, -30},   {8, -20},
      {9, -21}, {10, -22}, {11, -24}, {12, -25}, {13, -30}, {253, -30}, {254, -11}, {255, -30}};
  std::array<std::uint8_t, 594> out{};
  for (auto [status, error] : table) {
    int n = 0;
    dev_->QueueReply(static_cast<std::uint8_t>(status), {});
    EXPECT_EQ(SKRevData(handle_, 0, 0, out.data(), &n), 0) << status;
    EXPECT_EQ(LastErrorValue(), error) << status;
  }
}

TEST_F(LinkTest, FailingStatusStopsAfterTheFirstReport) {
  dev_->QueueReply(5, Bytes(150, 0xAA));
  std::array<std::uint8_t, 594> out{};
  int n = 0;
  EXPECT_EQ(SKRevData(handle_, 0, 0, out.data(), &n), 0);
  EXPECT_EQ(LastErrorValue(), -8);
  EXPECT_EQ(dev_->reads, 1);
}

// The reports a refused reply still owes are on their way when the refusal
// comes (the scripted device, like a real one, has not delivered them yet:
// nothing is "pending" to discard). The next request reads them away first,
// so its reply is its own; a device that never sends them costs one short
// wait.
TEST_F(LinkTest, RepliesGivenUpOnAreReadAwayBeforeTheNextRequest) {
  std::uint8_t state = 0xEE;
  dev_->QueueReply(5, Bytes(150, 0xAA));  // three reports
  dev_->QueueReply(0, {0x01});
  EXPECT_EQ(DllI2cGetStatus(handle_, &state), -8);
  EXPECT_EQ(DllI2cGetStatus(handle_, &state), 0);
  EXPECT_EQ(state, 1);

  Bytes overflow = ReplyFrame(0, Bytes(600, 0x00));  // declares 600: ten reports
  dev_->QueueFrame(overflow);
  dev_->QueueReply(0, {0x00});
  EXPECT_EQ(DllI2cGetStatus(handle_, &state), VELKAN_ERR_REPLY_TOO_LONG);
  EXPECT_EQ(DllI2cGetStatus(handle_, &state), 0);
  EXPECT_EQ(state, 0);
  EXPECT_TRUE(dev_->inputs.empty());

  // A read that fails part way: the rest of that reply is owed too.
  Bytes split = ReplyFrame(0, Bytes(100, 0x11));
  dev_->QueueFrame(Bytes(split.begin(), split.begin() + 63));
  dev_->QueueReadError(5);
  dev_->QueueFrame(Bytes(split.begin() + 63, split.end()));
  dev_->QueueReply(0, {0x01});
  EXPECT_EQ(DllI2cGetStatus(handle_, &state), 5);
  EXPECT_EQ(DllI2cGetStatus(handle_, &state), 0);
  EXPECT_EQ(state, 1);

  // The owed reports never come: the next exchange still goes out.
  const Bytes failed = ReplyFrame(9, Bytes(150, 0xAA));
  dev_->QueueFrame(Bytes(failed.begin(), failed.begin() + 63));
  EXPECT_EQ(DllI2cGetStatus(handle_, &state), -21);
  const std::size_t writes = dev_->written.size();
  dev_->QueueReadError(110);  // what the drain finds: nothing comes
  dev_->QueueReply(0, {0x01});
  EXPECT_EQ(DllI2cGetStatus(handle_, &state), 0);
  EXPECT_EQ(dev_->written.size(), writes + 1);
}

TEST_F(LinkTest, LastErrorStartsAtZeroForEachExchange) {
  std::array<std::uint8_t, 594> out{};
  int n = 0;
  dev_->QueueReadError(71);
  EXPECT_EQ(SKRevData(handle_, 0, 0, out.data(), &n), 0);
  EXPECT_EQ(LastErrorValue(), 71);
  dev_->QueueReply(0, {});
  EXPECT_EQ(SKRevData(handle_, 0, 0, out.data(), &n), 1);
  EXPECT_EQ(LastErrorValue(), 0);

  dev_->failWriteAt = 0;
  dev_->writeError = 19;
  EXPECT_EQ(SKSendData(handle_, 0, 1, nullptr, 0), 0);
  EXPECT_EQ(LastErrorValue(), 19);
  EXPECT_EQ(SKSendData(handle_, 0, 1, nullptr, 0), 1);
  EXPECT_EQ(LastErrorValue(), 0);
}

TEST_F(LinkTest, DeclaredLengthBeyondTheFrameBufferIsRefusedAtOnce) {
  Bytes header = {0, 0x77, 0, 0x53, 0x02};  // N = 595
  dev_->QueueFrame(header);
  std::array<std::uint8_t, 594> out{};
  int n = -1;
  EXPECT_EQ(SKRevData(handle_, 0, 0, out.data(), &n), 0);
  EXPECT_EQ(LastErrorValue(), VELKAN_ERR_REPLY_TOO_LONG);
  EXPECT_EQ(n, -1);
  EXPECT_EQ(dev_->reads, 1);

  // 594 data bytes still fit.
  dev_->QueueReply(0, Bytes(594, 0x5A));
  EXPECT_EQ(SKRevData(handle_, 0, 0, out.data(), &n), 1);
  EXPECT_EQ(n, 594);
}

TEST_F(LinkTest, ReportWithoutFrameBytesIsRefused) {
  std::array<std::uint8_t, 594> out{};
  int n = -1;
  for (std::size_t delivered : {0u, 1u}) {
    Input empty;
    empty.delivered = delivered;
    dev_->inputs.push_back(empty);
    EXPECT_EQ(SKRevData(handle_, 0, 0, out.data(), &n), 0);
    EXPECT_EQ(LastErrorValue(), VELKAN_ERR_EMPTY_REPORT);
  }
  // In the middle of a reply as well.
  dev_->QueueReply(0, Bytes(100, 1));
  dev_->inputs.back().delivered = 1;
  EXPECT_EQ(SKRevData(handle_, 0, 0, out.data(), &n), 0);
  EXPECT_EQ(LastErrorValue(), VELKAN_ERR_EMPTY_REPORT);
  EXPECT_EQ(n, -1);
}

TEST_F(LinkTest, NullBuffersAndUnknownHandles) {
  int n = 0;
  EXPECT_EQ(SKRevData(handle_, 0, 0, nullptr, &n), 0);
  EXPECT_EQ(LastErrorValue(), VELKAN_ERR_BAD_ARGUMENT);
  EXPECT_EQ(dev_->reads, 0);
  EXPECT_EQ(SKSendData(handle_ + 1000, 0, 1, nullptr, 0), 0);
  EXPECT_EQ(LastErrorValue(), VELKAN_ERR_BAD_HANDLE);
  EXPECT_EQ(DllI2cRePower(0), VELKAN_ERR_BAD_HANDLE);
  EXPECT_EQ(DllI2cRePower(-2), VELKAN_ERR_BAD_HANDLE);
  EXPECT_TRUE(dev_->written.empty());
}

TEST_F(LinkTest, CloseTwiceGivesMinusFour) {
  EXPECT_EQ(DllCloseReader(handle_), 0);
  EXPECT_EQ(DllCloseReader(handle_), VELKAN_ERR_CLOSE);
  EXPECT_EQ(DllI2cRePower(handle_), VELKAN_ERR_BAD_HANDLE);
  EXPECT_EQ(dev_->closes, 1);
  EXPECT_EQ(DllCloseReader(12345), VELKAN_ERR_CLOSE);
}

TEST_F(LinkTest, FailedPlatformCloseGivesMinusFourAndForgetsTheHandle) {
  dev_->closeFails = true;
  EXPECT_EQ(DllCloseReader(handle_), VELKAN_ERR_CLOSE);
  EXPECT_EQ(DllCloseReader(handle_), VELKAN_ERR_CLOSE);
}

}  // namespace
}  // namespace velkan::test
