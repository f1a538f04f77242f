// libFuzzer target: arbitrary bytes as a `velkan run` script file. Accepted
// text must be UTF-8, and its lines joined again with LF must give the text
// back without its BOM and without the CR of each CRLF.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cli/script_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  velkan::ScriptTable script = {{1, "previous"}};
  if (!velkan::cli::ParseScriptFile(bytes, script)) {
    if (script != velkan::ScriptTable{{1, "previous"}}) std::abort();
    return 0;
  }
  std::string text = bytes.rfind("\xEF\xBB\xBF", 0) == 0 ? bytes.substr(3) : bytes;
  if (!velkan::cli::IsUtf8(text)) std::abort();
  std::string expected;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    expected += text[i];
  }
  // A last line without LF loses a CR at its end too; every line then ends
  // with LF in the joined text.
  if (!expected.empty() && expected.back() == '\r') {
    expected.back() = '\n';
  } else if (!expected.empty() && expected.back() != '\n') {
    expected += '\n';
  }
  std::string joined;
  std::int32_t number = 0;
  for (const auto& [line, content] : script) {
    if (line != ++number) std::abort();
    if (content.find('\n') != std::string::npos) std::abort();
    joined += content;
    joined += '\n';
  }
  if (joined != expected) std::abort();
  return 0;
}
