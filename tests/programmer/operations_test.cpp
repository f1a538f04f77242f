// The command set: bytes of each request, waits, reply handling and the
// replies that are refused rather than copied.
#include <array>
#include <chrono>
#include <cstring>

#include "programmer/fixture.h"

namespace velkan::test {
namespace {

using OperationsTest = ProgrammerTest;
using std::chrono::milliseconds;

TEST_F(OperationsTest, FramesOfOperationsWithFixedData) {
  dev_->QueueReply(0, {});
  ASSERT_EQ(DllI2cRePower(handle_), 0);
  EXPECT_EQ(Sent(5), (Bytes{0x00, 0x72, 0x00, 0x00, 0x72}));

  dev_->QueueReply(0, {});
  ASSERT_EQ(DllWaveToBoot(handle_), 0);
  EXPECT_EQ(Sent(5), (Bytes{0x00, 0x70, 0x00, 0x00, 0x70}));

  dev_->QueueReply(0, {0x3B, 0x00});
  std::array<std::uint8_t, 33> atr{};
  int atrLength = 0;
  ASSERT_EQ(DllReset7816Card(handle_, atr.data(), &atrLength), 0);
  EXPECT_EQ(Sent(6), (Bytes{0x00, 0x62, 0x01, 0x00, 0x01, 0x62}));

  dev_->QueueReply(0, {});
  ASSERT_EQ(DllLedControl(handle_, 2), 0);
  EXPECT_EQ(Sent(6), (Bytes{0x00, 0x78, 0x01, 0x00, 0x02, 0x7B}));

  dev_->QueueReply(0, {});
  ASSERT_EQ(DllWriteOfflineData(handle_, 0x0102, 2, nullptr, 0), 0);
  EXPECT_EQ(Sent(9), (Bytes{0x00, 0x7D, 0x04, 0x00, 0x02, 0x01, 0x02, 0x00, 0x78}));
}

TEST_F(OperationsTest, I2cWriteClearsTheDirectionBit) {
  std::uint8_t data[] = {0x07, 0x00, 0x00, 0x00};
  dev_->QueueReply(0, {});
  ASSERT_EQ(DllI2cWrite(handle_, 0xA1, data, 4), 0);
  EXPECT_EQ(Sent(12),
            (Bytes{0x00, 0x76, 0x07, 0x00, 0xA0, 0x04, 0x00, 0x07, 0x00, 0x00, 0x00, 0xD2}));
}

TEST_F(OperationsTest, I2cReadSendsTheLowSixteenBitsOfTheLength) {
  std::array<std::uint8_t, 600> buffer{};
  unsigned long length = 0x0102;
  dev_->QueueReply(0, {0x90, 0x00});
  ASSERT_EQ(DllI2cRead(handle_, 0xA0, buffer.data(), &length), 0);
  EXPECT_EQ(Sent(7), (Bytes{0x00, 0x77, 0x03, 0x00, 0xA1, 0x02, 0x01}));
  EXPECT_EQ(length, 2u);

  length = 0x30102;
  dev_->QueueReply(0, {});
  ASSERT_EQ(DllI2cRead(handle_, 0xA0, buffer.data(), &length), 0);
  EXPECT_EQ(Sent(7), (Bytes{0x00, 0x77, 0x03, 0x00, 0xA1, 0x02, 0x01}));
}

TEST_F(OperationsTest, I2cReadRefusesMoreThanRequested) {
  std::array<std::uint8_t, 8> buffer{};
  unsigned long length = 4;
  dev_->QueueReply(0, Bytes(5, 0x11));
  dev_->QueueReply(0, {0x90, 0x00});
  EXPECT_EQ(DllI2cRead(handle_, 0xA0, buffer.data(), &length), VELKAN_ERR_REPLY_TOO_LONG);
  EXPECT_EQ(LastErrorValue(), VELKAN_ERR_REPLY_TOO_LONG);
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(buffer[0], 0);
  // The refused reply was read to its end: the next exchange is in step.
  ASSERT_EQ(DllI2cRead(handle_, 0xA0, buffer.data(), &length), 0);
  EXPECT_EQ(length, 2u);
  EXPECT_EQ(buffer[0], 0x90);
}

TEST_F(OperationsTest, I2cCommandWaitsOnlyForEraseAndCrc) {
  std::array<std::uint8_t, 64> response{};
  const std::pair<std::uint8_t, milliseconds> cases[] = {
      {0x40, milliseconds(600)}, {0x07, milliseconds(550)}, {0x08, milliseconds(0)}};
  for (auto [first, wait] : cases) {
    std::uint8_t command[] = {first, 0, 0, 0};
    unsigned long length = 2;
    dev_->QueueReply(0, {});
    dev_->QueueReply(0, {0x90, 0x00});
    const auto before = clock_.Now();
    ASSERT_EQ(DllI2cCommand(handle_, 0xA0, command, 4, response.data(), &length), 0);
    EXPECT_EQ(clock_.Now() - before, wait) << int(first);
  }
}

TEST_F(OperationsTest, I2cCommandResponseLength) {
  std::uint8_t command[] = {0x20, 0, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8};
  std::array<std::uint8_t, 64> response{};
  unsigned long length = 16;
  dev_->QueueReply(0, {});
  dev_->QueueReply(0, {0x6A, 0x80, 0x01, 0x02});
  ASSERT_EQ(DllI2cCommand(handle_, 0xA1, command, sizeof command, response.data(), &length), 0);
  EXPECT_EQ(length, 2u);
  // Write goes to the even address, read to the odd one.
  const auto sent = Sent(64 * 2);
  EXPECT_EQ(sent[4], 0xA0);
  EXPECT_EQ(sent[63 + 4], 0xA1);

  length = 16;
  dev_->QueueReply(0, {});
  dev_->QueueReply(0, {0x90, 0x00, 0x01, 0x02});
  ASSERT_EQ(DllI2cCommand(handle_, 0xA0, command, sizeof command, response.data(), &length), 0);
  EXPECT_EQ(length, 4u);

  // An empty response is not reported as two status bytes.
  length = 16;
  response.fill(0);
  dev_->QueueReply(0, {});
  dev_->QueueReply(0, {});
  ASSERT_EQ(DllI2cCommand(handle_, 0xA0, command, sizeof command, response.data(), &length), 0);
  EXPECT_EQ(length, 0u);
}

TEST_F(OperationsTest, I2cCommandWhoseWriteFailsNeverReads) {
  std::uint8_t command[] = {0x40, 0, 0, 2, 0x12, 0x34};
  std::array<std::uint8_t, 64> response{};
  unsigned long length = 2;
  dev_->failWriteAt = 0;
  dev_->writeError = 32;
  EXPECT_EQ(DllI2cCommand(handle_, 0xA0, command, sizeof command, response.data(), &length), 32);
  EXPECT_EQ(LastErrorValue(), 32);
  EXPECT_EQ(dev_->reads, 0);
  EXPECT_EQ(clock_.Now().count(), 0);

  // A refused write status is returned unchanged as well.
  dev_->QueueReply(3, {});
  EXPECT_EQ(DllI2cCommand(handle_, 0xA0, command, sizeof command, response.data(), &length), -9);
  EXPECT_EQ(dev_->reads, 1);
}

TEST_F(OperationsTest, AnswerToResetLimits) {
  std::array<std::uint8_t, 33> atr{};
  int atrLength = -1;
  Bytes longest(33, 0x11);
  longest[0] = 0x3B;
  dev_->QueueReply(0, longest);
  ASSERT_EQ(DllReset7816Card(handle_, atr.data(), &atrLength), 0);
  EXPECT_EQ(atrLength, 33);
  EXPECT_EQ(atr[32], 0x11);

  Bytes tooLong(34, 0x22);
  tooLong[0] = 0x3B;
  const Bytes refused[] = {tooLong, {0x3B}, {0x3C, 0x00, 0x01}, {}};
  for (const Bytes& reply : refused) {
    atr.fill(0);
    atrLength = -1;
    dev_->QueueReply(0, reply);
    EXPECT_EQ(DllReset7816Card(handle_, atr.data(), &atrLength), VELKAN_ERR_BAD_ATR);
    EXPECT_EQ(LastErrorValue(), 0);
    EXPECT_EQ(atrLength, -1);
    EXPECT_EQ(atr[0], 0);
  }
  dev_->QueueReply(0, {0x3F, 0x00});
  EXPECT_EQ(DllReset7816Card(handle_, atr.data(), &atrLength), 0);
}

TEST_F(OperationsTest, StateBit) {
  const std::pair<Bytes, std::uint8_t> cases[] = {{{0xFF}, 1}, {{0x02}, 0}, {{}, 0}};
  for (const auto& [reply, state] : cases) {
    std::uint8_t out = 7;
    dev_->QueueReply(0, reply);
    ASSERT_EQ(DllI2cGetStatus(handle_, &out), 0);
    EXPECT_EQ(out, state);
  }
  std::uint8_t out = 7;
  dev_->QueueReply(0, {0x01});
  ASSERT_EQ(DllGet7816CardState(handle_, &out), 0);
  EXPECT_EQ(out, 1);
  EXPECT_EQ(Sent(5), (Bytes{0x00, 0x75, 0x00, 0x00, 0x75}));
}

TEST_F(OperationsTest, FirmwareUpdateBlocks) {
  Bytes image(1300);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i);
  dev_->QueueReply(0, {});
  const auto before = clock_.Now();
  ASSERT_EQ(DllDownloadFirmwareStart(handle_), 0);
  EXPECT_EQ(clock_.Now() - before, milliseconds(800));
  dev_->written.clear();

  auto blocks = [&](int count, std::size_t offset) {
    for (int i = 0; i < count; ++i) dev_->QueueReply(0, {});
    dev_->written.clear();
    std::vector<std::pair<std::uint8_t, std::size_t>> seen;
    EXPECT_EQ(DllDownloadFirmware(handle_, image.data() + offset, count == 6 ? 1000 : 300), 0);
    // Each block is one frame; collect (command, N) in order.
    const Bytes sent = dev_->SentBytes();
    std::size_t pos = 0;
    while (pos + 4 <= sent.size() && sent[pos + 1] != 0) {
      const std::size_t n = sent[pos + 2] | (sent[pos + 3] << 8);
      seen.emplace_back(sent[pos + 1], n);
      pos += ((n + 5 + 62) / 63) * 63;  // frames start on a report boundary
    }
    return seen;
  };
  using Blocks = std::vector<std::pair<std::uint8_t, std::size_t>>;
  EXPECT_EQ(blocks(6, 0), (Blocks{{0x8B, 8}, {0x8C, 256}, {0x8C, 256}, {0x8C, 256}, {0x8C, 224}}));
  EXPECT_EQ(blocks(2, 1000), (Blocks{{0x8C, 256}, {0x8C, 44}}));

  dev_->QueueReply(0, {});
  std::uint8_t closing[] = {1, 2, 3};
  const auto beforeComplete = clock_.Now();
  ASSERT_EQ(DllDownloadFirmwareComplete(handle_, closing, 3), 0);
  EXPECT_EQ(clock_.Now() - beforeComplete, milliseconds(800));

  // A first call shorter than the header block is refused without reading
  // past the caller's bytes; the header stays due. Exactly 8 bytes send the
  // header block alone.
  dev_->QueueReply(0, {});
  ASSERT_EQ(DllDownloadFirmwareStart(handle_), 0);
  dev_->written.clear();
  Bytes shortFirst(5, 0x77);
  EXPECT_EQ(DllDownloadFirmware(handle_, shortFirst.data(), 5), VELKAN_ERR_BAD_ARGUMENT);
  EXPECT_TRUE(dev_->written.empty());
  dev_->QueueReply(0, {});
  ASSERT_EQ(DllDownloadFirmware(handle_, image.data(), 8), 0);
  EXPECT_EQ(dev_->written.size(), 1u);
  EXPECT_EQ(Sent(4), (Bytes{0x00, 0x8B, 0x08, 0x00}));
}

TEST_F(OperationsTest, FirmwareStopsAtTheFirstFailedBlock) {
  Bytes image(600, 0x5A);
  dev_->QueueReply(0, {});
  ASSERT_EQ(DllDownloadFirmwareStart(handle_), 0);
  dev_->QueueReply(0, {});  // header
  dev_->QueueReply(0, {});  // first block
  dev_->QueueReply(8, {});  // second block refused
  dev_->written.clear();
  EXPECT_EQ(DllDownloadFirmware(handle_, image.data(), 600), -20);
  // Header (13 frame bytes: 1 report) and two blocks (261 frame bytes: 5
  // reports each); nothing after the refused block.
  EXPECT_EQ(dev_->written.size(), 11u);
  // A failed start neither waits nor arms the header block.
  dev_->QueueReply(4, {});
  const auto before = clock_.Now();
  EXPECT_EQ(DllDownloadFirmwareStart(handle_), -13);
  EXPECT_EQ(clock_.Now(), before);
  dev_->QueueReply(0, {});
  dev_->written.clear();
  ASSERT_EQ(DllDownloadFirmware(handle_, image.data(), 10), 0);
  EXPECT_EQ(dev_->SentBytes()[1], 0x8C);
}

TEST_F(OperationsTest, FirmwareVersion) {
  std::array<char, 276> text{};
  unsigned textLength = 0;
  unsigned value = 0;
  dev_->QueueReply(0, {9, 0, 'V', '1', '.', '2', '3', 0x34, 0x12});
  ASSERT_EQ(DllGetFirmwareVersion(handle_, text.data(), &textLength, &value), 0);
  EXPECT_EQ(std::string(text.data(), textLength), "V1.23");
  EXPECT_EQ(value, 0x1234u);

  const Bytes refused[] = {{3, 0, 1}, {10, 0, 'V', '1', '.', '2', '3', 0x34, 0x12}, {4}, {}};
  for (const Bytes& reply : refused) {
    textLength = 99;
    dev_->QueueReply(0, reply);
    EXPECT_EQ(DllGetFirmwareVersion(handle_, text.data(), &textLength, &value),
              VELKAN_ERR_BAD_VERSION);
    EXPECT_EQ(LastErrorValue(), VELKAN_ERR_BAD_VERSION);
    EXPECT_EQ(textLength, 99u);
  }
}

TEST_F(OperationsTest, RepliesBeyondTheReplyAreaAreRefused) {
  char name[280] = {};
  unsigned nameLength = 0;
  dev_->QueueReply(0, Bytes(280, 'a'));
  ASSERT_EQ(DllGetOfflineFileName(handle_, name, &nameLength), 0);
  EXPECT_EQ(nameLength, 280u);

  dev_->QueueReply(0, Bytes(281, 'b'));
  EXPECT_EQ(DllGetOfflineFileName(handle_, name, &nameLength), VELKAN_ERR_REPLY_TOO_LONG);
  EXPECT_EQ(name[0], 'a');

  std::uint8_t apdu[] = {0x00, 0xA4, 0x04, 0x00};
  std::array<std::uint8_t, 258> response{};
  int responseLength = -1;
  dev_->QueueReply(0, Bytes(259, 0xCC));
  EXPECT_EQ(Dll7816CardAPDU(handle_, apdu, 4, 0, response.data(), &responseLength),
            VELKAN_ERR_REPLY_TOO_LONG);
  EXPECT_EQ(responseLength, -1);
  dev_->QueueReply(0, Bytes(258, 0xCC));
  EXPECT_EQ(Dll7816CardAPDU(handle_, apdu, 4, 0, response.data(), &responseLength), 0);
  EXPECT_EQ(responseLength, 258);

  std::uint8_t state = 0;
  dev_->QueueReply(0, Bytes(300, 0x01));
  EXPECT_EQ(DllI2cGetStatus(handle_, &state), VELKAN_ERR_REPLY_TOO_LONG);
}

TEST_F(OperationsTest, RequestDataBeyondTheLimitsIsNeverSent) {
  std::array<std::uint8_t, 600> data{};
  std::array<std::uint8_t, 300> out{};
  unsigned long length = 2;
  int n = 0;
  unsigned u = 0;
  EXPECT_EQ(DllI2cWrite(handle_, 0xA0, data.data(), 278), VELKAN_ERR_BAD_ARGUMENT);
  EXPECT_EQ(DllI2cWrite(handle_, 0xA0, nullptr, 1), VELKAN_ERR_BAD_ARGUMENT);
  EXPECT_EQ(DllI2cCommand(handle_, 0xA0, data.data(), 278, out.data(), &length),
            VELKAN_ERR_BAD_ARGUMENT);
  EXPECT_EQ(DllI2cCommand(handle_, 0xA0, data.data(), 4, out.data(), nullptr),
            VELKAN_ERR_BAD_ARGUMENT);
  EXPECT_EQ(DllI2cRead(handle_, 0xA0, nullptr, &length), VELKAN_ERR_BAD_ARGUMENT);
  EXPECT_EQ(Dll7816CardAPDU(handle_, data.data(), 596, 0, out.data(), &n), VELKAN_ERR_BAD_ARGUMENT);
  EXPECT_EQ(Dll7816CardAPDU(handle_, data.data(), -1, 0, out.data(), &n), VELKAN_ERR_BAD_ARGUMENT);
  EXPECT_EQ(DllDownloadFirmwareComplete(handle_, data.data(), 281), VELKAN_ERR_BAD_ARGUMENT);
  EXPECT_EQ(DllDownloadFirmware(handle_, data.data(), -5), VELKAN_ERR_BAD_ARGUMENT);
  EXPECT_EQ(DllSetOfflineFileName(handle_, reinterpret_cast<char*>(data.data()), 262),
            VELKAN_ERR_BAD_ARGUMENT);
  EXPECT_EQ(DllWriteOfflineData(handle_, 1, 1, nullptr, 3), VELKAN_ERR_BAD_ARGUMENT);
  EXPECT_EQ(DllReset7816Card(handle_, out.data(), nullptr), VELKAN_ERR_BAD_ARGUMENT);
  EXPECT_EQ(DllGetFirmwareVersion(handle_, nullptr, &u, &u), VELKAN_ERR_BAD_ARGUMENT);
  EXPECT_EQ(DllGetOfflineFileName(handle_, nullptr, &u), VELKAN_ERR_BAD_ARGUMENT);
  EXPECT_EQ(DllI2cGetStatus(handle_, nullptr), VELKAN_ERR_BAD_ARGUMENT);
  EXPECT_EQ(LastErrorValue(), VELKAN_ERR_BAD_ARGUMENT);
  EXPECT_TRUE(dev_->written.empty());

  // At the limits the requests go out.
  dev_->QueueReply(0, {});
  EXPECT_EQ(DllI2cWrite(handle_, 0xA0, data.data(), 277), 0);
  dev_->QueueReply(0, {});
  EXPECT_EQ(DllSetOfflineFileName(handle_, reinterpret_cast<char*>(data.data()), 261), 0);
  EXPECT_EQ(LastErrorValue(), 0);
}

TEST_F(OperationsTest, FailedReceiveLeavesOutArgumentsAlone) {
  char name[280] = {'x'};
  unsigned nameLength = 77;
  dev_->QueueReadError(19);
  EXPECT_EQ(DllGetOfflineFileName(handle_, name, &nameLength), 19);
  EXPECT_EQ(LastErrorValue(), 19);
  EXPECT_EQ(nameLength, 77u);
  EXPECT_EQ(name[0], 'x');
}

}  // namespace
}  // namespace velkan::test
