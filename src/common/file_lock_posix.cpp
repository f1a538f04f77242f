#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/file_lock.h"

namespace velkan {

struct FileLock::Handle {
  int fd = -1;
};

FileLock::FileLock(const std::filesystem::path& path) : handle_(std::make_unique<Handle>()) {
  handle_->fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (handle_->fd < 0) error_ = path.string() + ": " + std::strerror(errno);
}

FileLock::~FileLock() {
  if (handle_->fd >= 0) ::close(handle_->fd);
}

bool FileLock::ok() const {
  return handle_->fd >= 0;
}

bool FileLock::Lock(bool wait) {
  if (handle_->fd < 0) return false;
  for (;;) {
    if (::flock(handle_->fd, LOCK_EX | (wait ? 0 : LOCK_NB)) == 0) return true;
    if (errno != EINTR) return false;
  }
}

void FileLock::Unlock() {
  if (handle_->fd >= 0) ::flock(handle_->fd, LOCK_UN);
}

}  // namespace velkan
