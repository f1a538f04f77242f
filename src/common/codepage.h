// Text conversion between the program's UTF-8 strings and the system's 8-bit
// code page (the ANSI code page on Windows, UTF-8 elsewhere).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace velkan {

// UTF-8 text in the system's 8-bit code page. Characters the code page cannot
// represent become '?'.
std::string ToSystemCodePage(std::string_view utf8);

// A file-system path from UTF-8 text (wide on Windows), so that non-ASCII
// file names open on every platform.
std::filesystem::path PathFromUtf8(std::string_view utf8);

// UTF-8 text of a path.
std::string PathToUtf8(const std::filesystem::path& path);

}  // namespace velkan
