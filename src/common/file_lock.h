// An exclusive lock on a lock file, shared between processes: the
// emulated programmer's state folder is one programmer, so two processes
// must not both change it at once. The lock is tied to this object's open
// file and ends with it (and with the process).
#pragma once

#include <filesystem>
#include <memory>
#include <string>

namespace velkan {

class FileLock {
 public:
  // Opens (creating it when missing) the lock file `path`; check ok().
  explicit FileLock(const std::filesystem::path& path);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  bool ok() const;
  // Why the file could not be opened.
  const std::string& error() const { return error_; }

  // Takes the lock; with `wait` blocks until it is free, without fails at
  // once when another holder has it. Not nested: one Lock, one Unlock.
  bool Lock(bool wait);
  void Unlock();

 private:
  struct Handle;
  std::unique_ptr<Handle> handle_;
  std::string error_;
};

}  // namespace velkan
