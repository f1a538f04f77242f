// The chip image: the 32 KB APP region as bytes, built from the hex line table
// (second pass over the HEX file).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "image/hex_loader.h"

namespace velkan {

// Image offset k holds chip address kAppStart + k.
inline constexpr std::size_t kChipImageSize = kAppEnd - kAppStart;
using ChipImage = std::array<std::uint8_t, kChipImageSize>;

// A new image with every byte 0xFF; nullptr when the memory cannot be had.
std::unique_ptr<ChipImage> AllocateChipImage();

// Copies the data records of `lines` into `image`, up to the first
// end-of-file record; later records overwrite earlier ones. Returns false
// when memory ran out (the image may then be partly filled).
bool PlaceDataRecords(const HexLineTable& lines, ChipImage& image);

// AllocateChipImage + PlaceDataRecords; nullptr on any failure.
std::unique_ptr<ChipImage> BuildChipImage(const HexLineTable& lines);

}  // namespace velkan
