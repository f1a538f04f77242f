// SPDX-License-Identifier: Apache-2.0
#include "programmer/device_search.h"

namespace velkan {

namespace {

bool IsProgrammer(const hid::Attributes& attributes) {
  return attributes.vendorId == kProgrammerVendorId && attributes.productId == kProgrammerProductId;
}

struct WalkOptions {
  const std::string* onlyPath = nullptr;  // other paths are passed over unopened
  bool needIdentity = false;              // programmers without one are skipped
  bool describeUnopened = false;          // ask the platform about those that do not open
};

// Walks the interfaces and calls `match(found, device)` for each programmer
// that opens and reads; the walk goes on while it returns true. Interfaces
// that cannot be read go to `skipped` (when given) and the walk goes on.
// Returns false when it ended on a failure of the enumeration rather than
// at the end of the list.
template <typename Match>
bool Walk(hid::Platform& platform, const WalkOptions& options, Match match,
          std::vector<SkippedInterface>* skipped) {
  auto skip = [&](SkippedInterface interface) {
    if (skipped != nullptr) skipped->push_back(std::move(interface));
  };
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
    if (!set->DevicePath(index, path)) {
      skip({index, {}, SkippedInterface::Reason::kNoPath, 0, std::nullopt});
      continue;
    }
    if (options.onlyPath != nullptr && path != *options.onlyPath) continue;
    std::unique_ptr<hid::Device> device = platform.Open(path);
    if (!device) {
      SkippedInterface unopened{index, path, SkippedInterface::Reason::kOpen, 0, std::nullopt};
      if (options.describeUnopened && skipped != nullptr) {
        if (std::optional<hid::Refusal> refusal = platform.DescribeUnopenable(path)) {
          unopened.error = refusal->error;
          unopened.attributes = refusal->attributes;
        }
      }
      skip(std::move(unopened));
      continue;
    }
    hid::Attributes attributes;
    if (!device->GetAttributes(attributes)) {
      skip({index, path, SkippedInterface::Reason::kAttributes, device->LastError(), std::nullopt});
      device->Close();
      continue;
    }
    if (IsProgrammer(attributes)) {
      FoundDevice found{path, attributes.vendorId, attributes.productId, {}, {}, {}};
      if (options.needIdentity) {
        hid::Identity identity;
        if (!device->GetIdentity(identity)) {
          skip({index, path, SkippedInterface::Reason::kIdentity, device->LastError(), attributes});
          device->Close();
          continue;
        }
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

bool SkippedInterface::IsProgrammer() const {
  return attributes && velkan::IsProgrammer(*attributes);
}

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
  WalkOptions options;
  options.onlyPath = byPath ? &selector->value : nullptr;
  options.needIdentity = selector && !byPath;
  Walk(
      platform, options,
      [&](const FoundDevice& device, std::unique_ptr<hid::Device>& open) {
        if (selector && !selector->Picks(device)) return true;
        found = std::move(open);
        return false;
      },
      nullptr);
  return found;
}

ProgrammerSearch SearchProgrammers(hid::Platform& platform) {
  ProgrammerSearch search;
  WalkOptions options;
  options.needIdentity = true;
  options.describeUnopened = true;
  search.complete = Walk(
      platform, options,
      [&](const FoundDevice& device, std::unique_ptr<hid::Device>&) {
        search.found.push_back(device);
        return true;
      },
      &search.skipped);
  return search;
}

std::vector<FoundDevice> FindProgrammers(hid::Platform& platform) {
  std::vector<FoundDevice> found;
  WalkOptions options;
  options.needIdentity = true;
  Walk(
      platform, options,
      [&](const FoundDevice& device, std::unique_ptr<hid::Device>&) {
        found.push_back(device);
        return true;
      },
      nullptr);
  return found;
}

std::vector<UnopenableDevice> FindUnopenableProgrammers(hid::Platform& platform) {
  // Without identities: no string requests to the programmers that open.
  WalkOptions options;
  options.describeUnopened = true;
  std::vector<SkippedInterface> skipped;
  Walk(
      platform, options, [](const FoundDevice&, std::unique_ptr<hid::Device>&) { return true; },
      &skipped);
  std::vector<UnopenableDevice> found;
  for (const SkippedInterface& s : skipped) {
    if (s.reason == SkippedInterface::Reason::kOpen && s.IsProgrammer()) {
      found.push_back({s.path, s.error});
    }
  }
  return found;
}

}  // namespace velkan
