// Windows: the 8-bit code page is the system ANSI code page (CP_ACP).
#include <windows.h>

#include "common/codepage.h"

namespace velkan {

std::string ToSystemCodePage(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int inLen = static_cast<int>(utf8.size());
  const int wideLen = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), inLen, nullptr, 0);
  if (wideLen <= 0) return std::string(utf8);
  std::wstring wide(static_cast<std::size_t>(wideLen), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), inLen, wide.data(), wideLen);
  const int outLen =
      WideCharToMultiByte(CP_ACP, 0, wide.data(), wideLen, nullptr, 0, nullptr, nullptr);
  if (outLen <= 0) return {};
  std::string out(static_cast<std::size_t>(outLen), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.data(), wideLen, out.data(), outLen, nullptr, nullptr);
  return out;
}

}  // namespace velkan
