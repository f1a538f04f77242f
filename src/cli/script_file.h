// The script file of `velkan run`: UTF-8 text (an optional BOM), one script
// line per text line, LF or CRLF line ends.
#pragma once

#include <string>
#include <string_view>

#include "common/script_table.h"

namespace velkan::cli {

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates).
bool IsUtf8(std::string_view text);

// Splits the file's bytes into `script` (numbered from 1, replaced). False,
// with `script` untouched, when the text is not UTF-8.
bool ParseScriptFile(std::string_view bytes, ScriptTable& script);

}  // namespace velkan::cli
