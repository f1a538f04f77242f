// The bounded one-open file read: limits, exact sizes, kinds of file, and
// the texts that follow a file's name in messages.
#include "common/input_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace velkan {
namespace {

namespace fs = std::filesystem;

class InputFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("velkan-input-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path Write(const char* name, const std::string& bytes) {
    std::ofstream(dir_ / name, std::ios::binary) << bytes;
    return dir_ / name;
  }
  fs::path dir_;
};

TEST_F(InputFileTest, LimitsAndExactSizes) {
  InputFileOptions upTo4;
  upTo4.limit = 4;
  std::string out = "stale";
  EXPECT_EQ(ReadInputFile(Write("four", "abcd"), upTo4, out), InputFileError::kNone);
  EXPECT_EQ(out, "abcd");
  EXPECT_EQ(ReadInputFile(Write("empty", ""), upTo4, out), InputFileError::kNone);
  EXPECT_EQ(out, "");
  EXPECT_EQ(ReadInputFile(Write("five", "abcde"), upTo4, out), InputFileError::kTooLarge);
  EXPECT_EQ(out, "");
  EXPECT_EQ(InputFileErrorText(InputFileError::kTooLarge, upTo4), "larger than 4 bytes");

  InputFileOptions exactly4 = upTo4;
  exactly4.exactSize = true;
  EXPECT_EQ(ReadInputFile(dir_ / "four", exactly4, out), InputFileError::kNone);
  EXPECT_EQ(ReadInputFile(dir_ / "empty", exactly4, out), InputFileError::kWrongSize);
  EXPECT_EQ(InputFileErrorText(InputFileError::kWrongSize, exactly4, out.size()),
            "holds 0 bytes instead of 4");
  EXPECT_EQ(ReadInputFile(dir_ / "five", exactly4, out), InputFileError::kTooLarge);
  EXPECT_EQ(InputFileErrorText(InputFileError::kTooLarge, exactly4), "more than 4 bytes");

  InputFileOptions mib;
  mib.limit = 16u << 20;
  EXPECT_EQ(InputFileErrorText(InputFileError::kTooLarge, mib), "larger than 16 MiB");
}

TEST_F(InputFileTest, KindsOfFile) {
  InputFileOptions options;
  options.limit = 1024;
  std::string out;
  EXPECT_EQ(ReadInputFile(dir_ / "none", options, out), InputFileError::kNotFound);
  EXPECT_EQ(ReadInputFile(dir_, options, out), InputFileError::kDirectory);
#if !defined(_WIN32)
  // A device that never ends stops at the limit.
  EXPECT_EQ(ReadInputFile("/dev/zero", options, out), InputFileError::kTooLarge);
  // A FIFO is read once, whole, unless only plain files will do.
  const fs::path fifo = dir_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] { std::ofstream(fifo, std::ios::binary) << "through a FIFO"; });
  EXPECT_EQ(ReadInputFile(fifo, options, out), InputFileError::kNone);
  writer.join();
  EXPECT_EQ(out, "through a FIFO");
  options.regularOnly = true;
  EXPECT_EQ(ReadInputFile(fifo, options, out), InputFileError::kNotRegular);  // not opened
  EXPECT_EQ(ReadInputFile("/dev/zero", options, out), InputFileError::kNotRegular);
#endif
}

TEST(Printable, ControlCharactersAndDelBecomeQuestionMarks) {
  EXPECT_EQ(Printable("a\x1b[2J\tb\x7f\r\n程序"), "a?[2J\tb???程序");
}

}  // namespace
}  // namespace velkan
