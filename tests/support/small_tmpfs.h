// A small tmpfs mounted for one test (root only), to fill a disk for real;
// unmounted when it goes. Tests that need it skip with one line without it.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace velkan::testing_support {

class SmallTmpfs {
 public:
  // Mounts a tmpfs of `size` (mount(8) syntax, e.g. "40k") on `dir`.
  SmallTmpfs(const std::filesystem::path& dir, const std::string& size) : dir_(dir) {
    std::filesystem::create_directories(dir_);
    const std::string cmd = "mount -t tmpfs -o size=" + size + ",mode=0755 velkan-test '" +
                            dir_.string() + "' 2>/dev/null";
    mounted_ = std::system(cmd.c_str()) == 0;
  }
  ~SmallTmpfs() {
    if (mounted_) std::system(("umount '" + dir_.string() + "' 2>/dev/null").c_str());
  }
  SmallTmpfs(const SmallTmpfs&) = delete;
  SmallTmpfs& operator=(const SmallTmpfs&) = delete;

  bool mounted() const { return mounted_; }
  // Makes the mounted file system read-only (files stay readable).
  bool MakeReadOnly() {
    return mounted_ &&
           std::system(("mount -o remount,ro '" + dir_.string() + "' 2>/dev/null").c_str()) == 0;
  }

  static constexpr const char* kSkipText =
      "needs to mount a small tmpfs (run as root with mount permission)";

 private:
  std::filesystem::path dir_;
  bool mounted_ = false;
};

}  // namespace velkan::testing_support
