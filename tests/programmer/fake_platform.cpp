#include "programmer/fake_platform.h"

#include <algorithm>

namespace velkan::test {

namespace {

class Set final : public hid::InterfaceSet {
 public:
  explicit Set(FakePlatform& p) : p_(p) {}
  Item At(std::size_t index) override {
    if (p_.failedAt && *p_.failedAt == index) return Item::kFailed;
    return index < p_.devices.size() ? Item::kPresent : Item::kNoMore;
  }
  bool DevicePath(std::size_t index, std::string& path) override {
    if (p_.pathFailsAt && *p_.pathFailsAt == index) return false;
    path = p_.devices.at(index)->path;
    return true;
  }

 private:
  FakePlatform& p_;
};

class Device final : public hid::Device {
 public:
  explicit Device(FakeDevice& d) : d_(d) {}
  bool GetAttributes(hid::Attributes& out) override {
    if (closed_ || d_.attributesFail) return Fail(31);
    out.vendorId = d_.vendorId;
    out.productId = d_.productId;
    return true;
  }
  bool WriteReport(const hid::Report& report) override {
    if (closed_) return Fail(9);
    if (d_.failWriteAt && *d_.failWriteAt == d_.written.size()) {
      d_.failWriteAt.reset();
      return Fail(d_.writeError);
    }
    d_.written.push_back(report);
    return true;
  }
  bool ReadReport(hid::Report& report, std::size_t& delivered) override {
    if (closed_) return Fail(9);
    ++d_.reads;
    if (d_.inputs.empty()) return Fail(110);
    Input in = d_.inputs.front();
    d_.inputs.pop_front();
    if (in.error != 0) return Fail(in.error);
    std::copy(in.report.begin(), in.report.begin() + std::min(in.delivered, report.size()),
              report.begin());
    delivered = in.delivered;
    return true;
  }
  bool Close() override {
    if (closed_) return Fail(9);
    closed_ = true;
    ++d_.closes;
    return d_.closeFails ? Fail(5) : true;
  }
  bool GetIdentity(hid::Identity& out) override {
    out = {};
    if (closed_ || d_.identityFails) return Fail(32);
    out.serial = d_.serial;
    return true;
  }
  int LastError() const override { return error_; }

 private:
  bool Fail(int code) {
    error_ = code;
    return false;
  }
  FakeDevice& d_;
  bool closed_ = false;
  int error_ = 0;
};

}  // namespace

std::vector<std::uint8_t> ReplyFrame(std::uint8_t status, const std::vector<std::uint8_t>& data,
                                     std::uint8_t command) {
  std::vector<std::uint8_t> f;
  f.reserve(data.size() + 6);
  f.push_back(0);
  f.push_back(command);
  f.push_back(status);
  f.push_back(static_cast<std::uint8_t>(data.size()));
  f.push_back(static_cast<std::uint8_t>(data.size() >> 8));
  f.insert(f.end(), data.begin(), data.end());
  std::uint8_t x = 0;
  for (std::size_t i = 1; i < f.size(); ++i) x ^= f[i];
  f.push_back(x);
  return f;
}

void FakeDevice::QueueFrame(const std::vector<std::uint8_t>& frame) {
  for (std::size_t off = 0; off < frame.size(); off += 63) {
    Input in;
    in.report[0] = 4;
    const std::size_t n = std::min<std::size_t>(63, frame.size() - off);
    std::copy(frame.begin() + off, frame.begin() + off + n, in.report.begin() + 1);
    inputs.push_back(in);
  }
}

void FakeDevice::QueueReply(std::uint8_t status, const std::vector<std::uint8_t>& data,
                            std::optional<std::uint8_t> check, std::uint8_t command) {
  std::vector<std::uint8_t> f = ReplyFrame(status, data, command);
  if (check) f.back() = *check;
  QueueFrame(f);
}

std::vector<std::uint8_t> FakeDevice::SentBytes() const {
  std::vector<std::uint8_t> bytes;
  for (const auto& r : written) bytes.insert(bytes.end(), r.begin() + 1, r.end());
  return bytes;
}

FakeDevice& FakePlatform::Add(std::uint16_t vendorId, std::uint16_t productId) {
  auto d = std::make_unique<FakeDevice>();
  d->path = "fake:" + std::to_string(devices.size());
  d->vendorId = vendorId;
  d->productId = productId;
  devices.push_back(std::move(d));
  return *devices.back();
}

std::unique_ptr<hid::InterfaceSet> FakePlatform::PresentInterfaces() {
  if (unavailable) return nullptr;
  return std::make_unique<Set>(*this);
}

std::unique_ptr<hid::Device> FakePlatform::Open(const std::string& path) {
  for (auto& d : devices) {
    if (d->path != path) continue;
    if (d->openFails) return nullptr;
    ++d->opens;
    return std::make_unique<Device>(*d);
  }
  return nullptr;
}

std::optional<hid::Refusal> FakePlatform::DescribeUnopenable(const std::string& path) {
  for (auto& d : devices) {
    if (d->path == path && d->openFails) {
      return hid::Refusal{d->openError, hid::Attributes{d->vendorId, d->productId}};
    }
  }
  return std::nullopt;
}

}  // namespace velkan::test
