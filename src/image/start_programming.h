// The start button of both programming pages, without the toolkit: HEX file
// -> chip image -> script table. The caller adds its own way of starting the
// run (a worker thread on the desktop, the calling thread on the command
// line).
#pragma once

#include <string>
#include <string_view>

#include "common/dialogs.h"
#include "common/script_table.h"

namespace velkan {

// The answer to a start without a HEX file.
inline constexpr std::string_view kNoHexFile = "请打开hex文件！";
// The fuse checkbox's warning (caption "警告", Yes/No); the two carriage
// returns are its line breaks.
inline constexpr std::string_view kFuseWarning =
    "熔断后，芯片将不可再编程！\r\r  请确认是否要熔断！";
inline constexpr std::string_view kFuseCaption = "警告";

// Reads `hexPath` (UTF-8), builds the chip image and, on success, replaces
// `script` with the programming script (fuse line per `fuseChosen`). Message
// boxes ("请打开hex文件！", "hex文件打开错误！", the out-of-region question,
// "分配BIN空间出错！") go to `dialogs`. Returns true when the run should
// start; on an abort before the table is cleared `script` keeps its previous
// contents. The file is read exactly once. `readError` (when given) receives
// why the file could not be read, empty when it was read.
bool StartProgramming(Dialogs& dialogs, const std::string& hexPath, bool fuseChosen,
                      ScriptTable& script, std::string* readError = nullptr);

}  // namespace velkan
