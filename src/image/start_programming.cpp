#include "image/start_programming.h"

#include "image/chip_image.h"
#include "image/hex_loader.h"
#include "image/script_generator.h"

namespace velkan {

namespace {

constexpr std::string_view kNoImageMemory = "分配BIN空间出错！";

}  // namespace

bool StartProgramming(Dialogs& dialogs, const std::string& hexPath, bool fuseChosen,
                      ScriptTable& script, std::string* readError) {
  if (readError != nullptr) readError->clear();
  if (hexPath.empty()) {
    dialogs.MessageBox(kNoHexFile, kCaptionNotice, MsgButtons::kOk, MsgIcon::kNone);
    return false;
  }
  HexFile file;
  if (ReadHexFile(dialogs, hexPath, file, readError) != HexLoadResult::kOk) return false;

  const std::unique_ptr<ChipImage> image = AllocateChipImage();
  if (!image) {
    dialogs.MessageBox(kNoImageMemory, kCaptionNotice, MsgButtons::kOk, MsgIcon::kNone);
    return false;
  }
  if (!PlaceDataRecords(file.lines, *image)) return false;

  // The new script is built aside and swapped in whole, so that a failure
  // part way leaves the page's previous script as it was.
  ScriptTable fresh;
  if (!GenerateScript(*image, file.endAddress, fuseChosen, fresh)) return false;
  script.swap(fresh);
  return true;
}

}  // namespace velkan
