// The 8-bit code page of POSIX systems is taken to be UTF-8.
#include "common/codepage.h"

namespace velkan {

std::string ToSystemCodePage(std::string_view utf8) {
  return std::string(utf8);
}

}  // namespace velkan
