#include "programmer/device_search.h"

namespace velkan {

namespace {

// Walks the interfaces and calls `match(path, device)` for each programmer
// found; the walk goes on while it returns true. Returns false when the
// walk ended on a failure rather than at the end of the list.
template <typename Match>
bool Walk(hid::Platform& platform, const std::optional<std::string>& onlyPath, Match match) {
  std::unique_ptr<hid::InterfaceSet> set = platform.PresentInterfaces();
  if (!set) return false;
  for (std::size_t index = 0;; ++index) {
    switch (set->At(index)) {
      case hid::InterfaceSet::Item::kNoMore:
        return true;
      case hid::InterfaceSet::Item::kFailed:
        // An enumeration that fails once cannot be trusted to end.
        return false;
      case hid::InterfaceSet::Item::kPresent:
        break;
    }
    std::string path;
    if (!set->DevicePath(index, path)) return false;
    if (onlyPath && path != *onlyPath) continue;
    std::unique_ptr<hid::Device> device = platform.Open(path);
    if (!device) continue;
    hid::Attributes attributes;
    if (!device->GetAttributes(attributes)) {
      device->Close();
      return false;
    }
    if (attributes.vendorId == kProgrammerVendorId &&
        attributes.productId == kProgrammerProductId) {
      if (!match(path, device)) return true;
    }
    if (device) device->Close();
  }
}

}  // namespace

std::unique_ptr<hid::Device> OpenProgrammer(hid::Platform& platform,
                                            const std::optional<std::string>& onlyPath) {
  std::unique_ptr<hid::Device> found;
  Walk(platform, onlyPath, [&](const std::string&, std::unique_ptr<hid::Device>& device) {
    found = std::move(device);
    return false;
  });
  return found;
}

std::vector<FoundDevice> FindProgrammers(hid::Platform& platform) {
  std::vector<FoundDevice> found;
  Walk(platform, std::nullopt, [&](const std::string& path, std::unique_ptr<hid::Device>&) {
    found.push_back({path, kProgrammerVendorId, kProgrammerProductId});
    return true;
  });
  return found;
}

}  // namespace velkan
