// A programming script as the pages hold it: line number (1..N without
// gaps) -> line text (UTF-8).
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace velkan {

using ScriptTable = std::map<std::int32_t, std::string>;

}  // namespace velkan
