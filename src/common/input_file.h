// Reading an input file whole, with one open and a size limit: the checks
// and the parse then see the same bytes, a FIFO or a pipe (/dev/stdin) is
// read once, and a file that never ends (/dev/zero) stops at the limit.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace velkan {

enum class InputFileError {
  kNone,
  kNotFound,    // no such file
  kDirectory,   // a folder
  kNotRegular,  // a device, FIFO or socket where only a plain file will do
  kCannotOpen,  // exists, but cannot be opened (permissions)
  kTooLarge,    // more than the limit
  kWrongSize,   // not exactly the size asked for
  kReadError,   // the read itself failed
};

struct InputFileOptions {
  std::size_t limit = 0;     // the most bytes accepted
  bool exactSize = false;    // exactly `limit` bytes, nothing else
  bool regularOnly = false;  // refuse devices, FIFOs and sockets before opening
};

// Reads `path` into `out` (replaced). On an error `out` is left empty, but
// for kWrongSize, where it holds the bytes read.
InputFileError ReadInputFile(const std::filesystem::path& path, const InputFileOptions& options,
                             std::string& out);

// Why the read failed, for a message after the file's name: "no such file",
// "is a directory", "larger than 16 MiB", ...
std::string InputFileErrorText(InputFileError error, const InputFileOptions& options,
                               std::size_t size = 0);

// `text` with control characters (other than TAB) and DEL replaced by '?',
// so that a file name or a device's text cannot drive the terminal.
std::string Printable(std::string_view text);

}  // namespace velkan
