// SPDX-License-Identifier: Apache-2.0
#include "programmer/device_search.h"

namespace velkan {

namespace {

bool IsProgrammer(const hid::Attributes& attributes) {
  return attributes.vendorId == kProgrammerVendorId && attributes.productId == kProgrammerProductId;
}

// Walks the interfaces and calls `match(found, device)` for each programmer
// that opens; the walk goes on while it returns true. `unopened(path)` is
// called for each interface that does not open. With `onlyPath`, other
// paths are passed over unopened. Returns false when the walk ended on a
// failure rather than at the end of the list.
template <typename Match, typename Unopened>
bool Walk(hid::Platform& platform, const std::string* onlyPath, bool needIdentity, Match match,
          Unopened unopened) {
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
    if (onlyPath != nullptr && path != *onlyPath) continue;
    std::unique_ptr<hid::Device> device = platform.Open(path);
    if (!device) {
      unopened(path);
      continue;
    }
    hid::Attributes attributes;
    if (!device->GetAttributes(attributes)) {
      device->Close();
      return false;
    }
    if (IsProgrammer(attributes)) {
      FoundDevice found{path, attributes.vendorId, attributes.productId, {}, {}, {}};
      hid::Identity identity;
      if (needIdentity && device->GetIdentity(identity)) {
        found.serial = std::move(identity.serial);
        found.port = std::move(identity.port);
        found.product = std::move(identity.product);
      }
      if (!match(found, device)) return true;
    }
    if (device) device->Close();
  }
}

}  // namespace

bool DeviceSelector::Picks(const FoundDevice& device) const {
  switch (kind) {
    case Kind::kPath:
      return device.path == value;
    case Kind::kSerial:
      return device.serial == value;
    case Kind::kPort:
      return device.port == value;
  }
  return false;
}

std::unique_ptr<hid::Device> OpenProgrammer(hid::Platform& platform,
                                            const std::optional<DeviceSelector>& selector) {
  std::unique_ptr<hid::Device> found;
  // A path is known before the device is opened; serial and port are not.
  const bool byPath = selector && selector->kind == DeviceSelector::Kind::kPath;
  Walk(
      platform, byPath ? &selector->value : nullptr, selector && !byPath,
      [&](const FoundDevice& device, std::unique_ptr<hid::Device>& open) {
        if (selector && !selector->Picks(device)) return true;
        found = std::move(open);
        return false;
      },
      [](const std::string&) {});
  return found;
}

std::vector<FoundDevice> FindProgrammers(hid::Platform& platform) {
  std::vector<FoundDevice> found;
  Walk(
      platform, nullptr, true,
      [&](const FoundDevice& device, std::unique_ptr<hid::Device>&) {
        found.push_back(device);
        return true;
      },
      [](const std::string&) {});
  return found;
}

std::vector<UnopenableDevice> FindUnopenableProgrammers(hid::Platform& platform) {
  std::vector<UnopenableDevice> found;
  Walk(
      platform, nullptr, false,
      [](const FoundDevice&, std::unique_ptr<hid::Device>&) { return true; },
      [&](const std::string& path) {
        int error = 0;
        hid::Attributes attributes;
        if (platform.DescribeUnopenable(path, error, attributes) && IsProgrammer(attributes)) {
          found.push_back({path, error});
        }
      });
  return found;
}

}  // namespace velkan
