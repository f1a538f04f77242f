// libFuzzer target: arbitrary bytes as a HEX file through the first pass, the
// chip image and the script generator. The out-of-region question is
// answered Yes and No in turn.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "image/chip_image.h"
#include "image/hex_loader.h"
#include "image/script_generator.h"

namespace {

class AlternatingDialogs : public velkan::Dialogs {
 public:
  velkan::MsgResult MessageBox(std::string_view text, std::string_view caption,
                               velkan::MsgButtons buttons, velkan::MsgIcon) override {
    if (text.empty() || caption.empty()) std::abort();
    if (buttons == velkan::MsgButtons::kOk) return velkan::MsgResult::kOk;
    yes_ = !yes_;
    return yes_ ? velkan::MsgResult::kYes : velkan::MsgResult::kNo;
  }

 private:
  bool yes_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  AlternatingDialogs dialogs;
  velkan::HexFile file;
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (velkan::ReadHexText(dialogs, text, file) != velkan::HexLoadResult::kOk) return 0;
  if (file.endAddress > velkan::kAppEnd) std::abort();
  const auto image = velkan::BuildChipImage(file.lines);
  if (!image) return 0;
  velkan::ScriptTable script;
  if (!velkan::GenerateScript(*image, file.endAddress, size % 2 == 0, script)) return 0;
  // Lines 1..N without gaps: header, data lines, CRC line, fuse line.
  std::int32_t expected = 1;
  for (const auto& entry : script) {
    if (entry.first != expected++) std::abort();
  }
  if (script.size() < 6 || script.size() > 262) std::abort();
  return 0;
}
