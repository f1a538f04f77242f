#include <windows.h>

#include "common/file_lock.h"

namespace velkan {

struct FileLock::Handle {
  HANDLE file = INVALID_HANDLE_VALUE;
};

FileLock::FileLock(const std::filesystem::path& path) : handle_(std::make_unique<Handle>()) {
  handle_->file = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle_->file == INVALID_HANDLE_VALUE) {
    error_ = path.string() + ": cannot be opened (error " + std::to_string(::GetLastError()) + ")";
  }
}

FileLock::~FileLock() {
  if (handle_->file != INVALID_HANDLE_VALUE) ::CloseHandle(handle_->file);
}

bool FileLock::ok() const {
  return handle_->file != INVALID_HANDLE_VALUE;
}

bool FileLock::Lock(bool wait) {
  if (handle_->file == INVALID_HANDLE_VALUE) return false;
  OVERLAPPED at{};
  const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
  return ::LockFileEx(handle_->file, flags, 0, 1, 0, &at) != 0;
}

void FileLock::Unlock() {
  if (handle_->file == INVALID_HANDLE_VALUE) return;
  OVERLAPPED at{};
  ::UnlockFileEx(handle_->file, 0, 1, 0, &at);
}

}  // namespace velkan
