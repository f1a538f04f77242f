#include "image/chip_image.h"

#include <cstring>
#include <new>
#include <string>

#include "common/codepage.h"
#include "common/hex_text.h"
#include "image/hex_record.h"

namespace velkan {

namespace {

bool IsAscii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

}  // namespace

std::unique_ptr<ChipImage> AllocateChipImage() {
  std::unique_ptr<ChipImage> image(new (std::nothrow) ChipImage);
  if (image) image->fill(0xFF);
  return image;
}

bool PlaceDataRecords(const HexLineTable& lines, ChipImage& image) {
  using hexrecord::Type;
  try {
    std::uint32_t base = 0;
    // Count, address (2), type, then at most 255 data bytes.
    std::uint8_t record[4 + 255];
    std::string converted;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const std::string_view line = lines.Line(i);
      const Type type = hexrecord::TypeOf(line);
      if (type == Type::kEndOfFile) break;
      if (type == Type::kSegmentBase || type == Type::kLinearBase) {
        base = hexrecord::BaseOf(line, type);
        continue;
      }
      if (type != Type::kData) continue;

      // Everything after the start code, in the system's 8-bit code page
      // (ASCII text is the same in every code page).
      std::string_view body = line.substr(1);
      if (!IsAscii(body)) {
        converted = ToSystemCodePage(body);
        body = converted;
      }
      // Only the bytes the record needs are decoded, whatever the line's
      // length. A line with fewer data bytes than its count takes the
      // missing ones from its checksum byte and then zeros.
      std::uint8_t count = 0;
      HexToBytes(body.substr(0, 2), &count);
      const std::size_t needed = 4 + std::size_t{count};
      std::memset(record, 0, needed);
      HexToBytes(body.substr(0, 2 * needed), record);

      // The first pass let only records inside the region into the table;
      // the check here keeps the copy inside the image whatever the table.
      const std::uint64_t address = std::uint64_t{base} + record[1] * 256u + record[2];
      if (address < kAppStart || address + count > kAppEnd) continue;
      if (count != 0) std::memcpy(image.data() + (address - kAppStart), record + 4, count);
    }
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

std::unique_ptr<ChipImage> BuildChipImage(const HexLineTable& lines) {
  std::unique_ptr<ChipImage> image = AllocateChipImage();
  if (image && !PlaceDataRecords(lines, *image)) image.reset();
  return image;
}

}  // namespace velkan
