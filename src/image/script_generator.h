// The programming script of a chip image: the header lines, one "I-CMD" line
// per 128-byte block that is not all 0xFF, the CRC line and the fuse line.
#pragma once

#include <cstdint>

#include "common/script_table.h"
#include "image/chip_image.h"

namespace velkan {

// Clears `script` and fills lines 1..N. Blocks are scanned from kAppStart
// while below `endAddress`. Returns false when memory ran out (`script` then
// holds the lines written so far).
bool GenerateScript(const ChipImage& image, std::uint32_t endAddress, bool fuseChosen,
                    ScriptTable& script);

}  // namespace velkan
