#include "common/input_file.h"

#include <algorithm>
#include <fstream>
#include <new>
#include <system_error>

namespace velkan {

namespace fs = std::filesystem;

namespace {

std::string SizeText(std::size_t bytes) {
  if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  if (bytes >= (1u << 10) && bytes % (1u << 10) == 0) return std::to_string(bytes >> 10) + " KiB";
  return std::to_string(bytes) + " bytes";
}

InputFileError ReadOpened(std::ifstream& in, const InputFileOptions& options, std::string& out) {
  // One byte beyond the limit tells "exactly the limit" from "more".
  char chunk[64 * 1024];
  while (in) {
    const std::size_t room = options.limit + 1 - out.size();
    in.read(chunk, static_cast<std::streamsize>(std::min(room, sizeof chunk)));
    out.append(chunk, static_cast<std::size_t>(in.gcount()));
    if (out.size() > options.limit) return InputFileError::kTooLarge;
  }
  if (in.bad()) return InputFileError::kReadError;
  if (options.exactSize && out.size() != options.limit) return InputFileError::kWrongSize;
  return InputFileError::kNone;
}

}  // namespace

InputFileError ReadInputFile(const fs::path& path, const InputFileOptions& options,
                             std::string& out) {
  out.clear();
  InputFileError result = InputFileError::kNone;
  try {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (status.type() == fs::file_type::not_found) return InputFileError::kNotFound;
    if (status.type() == fs::file_type::directory) return InputFileError::kDirectory;
    if (options.regularOnly && !ec && status.type() != fs::file_type::regular) {
      return InputFileError::kNotRegular;
    }
    // A plain file's size is known before reading; it may still grow, which
    // the bounded read below catches.
    if (status.type() == fs::file_type::regular) {
      const std::uintmax_t size = fs::file_size(path, ec);
      if (!ec && size > options.limit) return InputFileError::kTooLarge;
    }
    std::ifstream in(path, std::ios::in | std::ios::binary);
    if (!in.is_open()) return ec ? InputFileError::kNotFound : InputFileError::kCannotOpen;
    result = ReadOpened(in, options, out);
  } catch (const std::bad_alloc&) {
    result = InputFileError::kReadError;
  } catch (const std::exception&) {
    result = InputFileError::kCannotOpen;  // e.g. a name the platform cannot represent
  }
  if (result != InputFileError::kNone && result != InputFileError::kWrongSize) out.clear();
  return result;
}

std::string InputFileErrorText(InputFileError error, const InputFileOptions& options,
                               std::size_t size) {
  switch (error) {
    case InputFileError::kNone:
      return "read";
    case InputFileError::kNotFound:
      return "no such file";
    case InputFileError::kDirectory:
      return "is a directory";
    case InputFileError::kNotRegular:
      return "not a regular file";
    case InputFileError::kCannotOpen:
      return "cannot be read";
    case InputFileError::kTooLarge:
      return (options.exactSize ? "more than " : "larger than ") + SizeText(options.limit);
    case InputFileError::kWrongSize:
      return "holds " + std::to_string(size) + " bytes instead of " + std::to_string(options.limit);
    case InputFileError::kReadError:
      return "read error";
  }
  return "cannot be read";
}

std::string Printable(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    const auto u = static_cast<unsigned char>(c);
    if ((u < 0x20 && u != '\t') || u == 0x7F) c = '?';
  }
  return out;
}

}  // namespace velkan
