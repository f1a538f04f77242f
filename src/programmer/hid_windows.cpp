// SPDX-License-Identifier: Apache-2.0
// Windows HID access: the present HID device interfaces from the device-setup
// services (SetupAPI), the devices opened with CreateFileW and moved in whole
// 64-byte reports with WriteFile/ReadFile. Error codes are GetLastError().
//
// Devices are opened with FILE_FLAG_OVERLAPPED although every transfer is
// used synchronously: a synchronous ReadFile on a HID device waits until the
// device sends a report, with no way to give up from the waiting thread. With
// an overlapped handle each transfer is started, waited for at most
// kReadTimeoutMs, cancelled with CancelIo when the time is up, and always
// finished before the call returns, so to the caller it behaves exactly like
// the synchronous transfer, only with a time limit (ERROR_TIMEOUT).
#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

// The HID headers of mingw-w64 do not declare their functions extern "C".
extern "C" {
#include <hidsdi.h>
}

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "programmer/hid_platform.h"

namespace velkan::hid {
namespace {

static_assert(kTimeoutError == ERROR_TIMEOUT);

int LastErrorOr(DWORD fallback) {
  const DWORD code = GetLastError();
  return static_cast<int>(code != 0 ? code : fallback);
}

std::string WideToUtf8(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(size - 1));  // without the terminator
  return out;
}

bool Utf8ToWide(const std::string& text, std::wstring& out) {
  if (text.empty()) return false;
  const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                       static_cast<int>(text.size()), nullptr, 0);
  if (size <= 0) return false;
  out.assign(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                      out.data(), size);
  return out.find(L'\0') == std::wstring::npos;
}

struct HandleCloser {
  void operator()(HANDLE h) const {
    if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};
using UniqueEvent = std::unique_ptr<void, HandleCloser>;

// The name of the semaphore that stands for one device path: the path
// itself may not be part of an object name (it has backslashes), its
// FNV-1a hash may.
std::wstring LockName(const std::string& path) {
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : path) {
    // Device paths differ in case only in spelling, not in the device.
    const unsigned char lower = c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c;
    hash = (hash ^ lower) * 1099511628211ull;
  }
  wchar_t name[64];
  swprintf(name, 64, L"Local\\velkan-programmer-%016llx", static_cast<unsigned long long>(hash));
  return name;
}

// Where the USB device behind a HID interface path is plugged in: the
// location of the interface's device node or, for a HID collection, of its
// USB parent ("Port_#0002.Hub_#0001"). Empty when the system does not say.
std::string DeviceLocation(const std::wstring& path) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) return {};
  std::string location;
  SP_DEVICE_INTERFACE_DATA interfaceData{};
  interfaceData.cbSize = sizeof interfaceData;
  SP_DEVINFO_DATA deviceData{};
  deviceData.cbSize = sizeof deviceData;
  // Opening the interface adds its device to the set, as its only element.
  if (SetupDiOpenDeviceInterfaceW(set, path.c_str(), 0, &interfaceData) &&
      SetupDiEnumDeviceInfo(set, 0, &deviceData)) {
    DEVINST node = deviceData.DevInst;
    for (int level = 0; level < 3 && location.empty(); ++level) {
      wchar_t text[256] = {};
      ULONG length = sizeof text;
      if (CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_LOCATION_INFORMATION, nullptr, text,
                                            &length, 0) == CR_SUCCESS &&
          text[0] != L'\0') {
        text[255] = L'\0';
        location = WideToUtf8(text);
      }
      DEVINST parent = 0;
      if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) break;
      node = parent;
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return location;
}

class WindowsDevice final : public Device {
 public:
  WindowsDevice(HANDLE handle, UniqueEvent event, std::wstring path)
      : handle_(handle), event_(std::move(event)), path_(std::move(path)) {}
  ~WindowsDevice() override {
    if (holds_ > 0 && lock_) ReleaseSemaphore(lock_.get(), 1, nullptr);
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  WindowsDevice(const WindowsDevice&) = delete;
  WindowsDevice& operator=(const WindowsDevice&) = delete;

  bool GetAttributes(Attributes& out) override {
    if (!IsOpen()) return false;
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof(attributes);
    if (!HidD_GetAttributes(handle_, &attributes)) {
      lastError_ = LastErrorOr(ERROR_GEN_FAILURE);
      return false;
    }
    out.vendorId = attributes.VendorID;
    out.productId = attributes.ProductID;
    return true;
  }

  bool GetIdentity(Identity& out) override {
    out = {};
    if (!IsOpen()) return false;
    wchar_t text[128] = {};
    if (HidD_GetSerialNumberString(handle_, text, sizeof text - sizeof(wchar_t))) {
      out.serial = WideToUtf8(text);
    }
    std::fill(std::begin(text), std::end(text), L'\0');
    if (HidD_GetProductString(handle_, text, sizeof text - sizeof(wchar_t))) {
      out.product = WideToUtf8(text);
    }
    out.port = DeviceLocation(path_);
    return true;
  }

  void DiscardPending() override {
    if (handle_ != INVALID_HANDLE_VALUE) HidD_FlushQueue(handle_);
  }

  // A named semaphore per device path keeps the openers of one programmer
  // apart, in every process of the session. A semaphore rather than a
  // mutex: a hold may end on another thread than the one that took it.
  bool Lock(bool wait) override {
    if (!IsOpen()) return false;
    if (holds_ == 0) {
      if (!lock_) {
        std::string narrow = WideToUtf8(path_.c_str());
        lock_.reset(CreateSemaphoreW(nullptr, 1, 1, LockName(narrow).c_str()));
        if (!lock_) {
          lastError_ = LastErrorOr(ERROR_GEN_FAILURE);
          return false;
        }
      }
      const DWORD waited = WaitForSingleObject(lock_.get(), wait ? INFINITE : 0);
      if (waited == WAIT_TIMEOUT) {
        lastError_ = kBusyError;
        return false;
      }
      if (waited != WAIT_OBJECT_0) {
        lastError_ = LastErrorOr(ERROR_GEN_FAILURE);
        return false;
      }
    }
    ++holds_;
    return true;
  }

  void Unlock() override {
    if (holds_ == 0) return;
    if (--holds_ == 0 && lock_) ReleaseSemaphore(lock_.get(), 1, nullptr);
  }

  bool WriteReport(const Report& report) override {
    if (!IsOpen()) return false;
    DWORD written = 0;
    if (!Transfer(&report, nullptr, written)) return false;
    if (written != kReportSize) {
      lastError_ = ERROR_WRITE_FAULT;
      return false;
    }
    return true;
  }

  bool ReadReport(Report& report, std::size_t& delivered) override {
    return ReadReportWithin(report, delivered, kReadTimeoutMs);
  }

  bool ReadReportWithin(Report& report, std::size_t& delivered, int timeoutMs) override {
    delivered = 0;
    if (!IsOpen()) return false;
    DWORD read = 0;
    if (!Transfer(nullptr, &report, read, timeoutMs)) return false;
    delivered = read > kReportSize ? kReportSize : read;
    return true;
  }

  bool Close() override {
    if (!IsOpen()) return false;
    if (holds_ > 0 && lock_) ReleaseSemaphore(lock_.get(), 1, nullptr);
    holds_ = 0;
    const BOOL ok = CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    if (!ok) {
      lastError_ = LastErrorOr(ERROR_INVALID_HANDLE);
      return false;
    }
    return true;
  }

  int LastError() const override { return lastError_; }

 private:
  bool IsOpen() {
    if (handle_ != INVALID_HANDLE_VALUE) return true;
    lastError_ = ERROR_INVALID_HANDLE;
    return false;
  }

  // One overlapped transfer of a whole report, writing `out` or reading into
  // `in`, waited for at most kReadTimeoutMs (writes too: a device that stops
  // taking reports must not hang the caller either). The transfer has always
  // ended (completed or cancelled) when this returns, so the buffer and the
  // OVERLAPPED may go away.
  bool Transfer(const Report* out, Report* in, DWORD& transferred, int timeoutMs = kReadTimeoutMs) {
    transferred = 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = event_.get();
    const BOOL started = out != nullptr
                             ? WriteFile(handle_, out->data(), kReportSize, nullptr, &overlapped)
                             : ReadFile(handle_, in->data(), kReportSize, nullptr, &overlapped);
    if (!started) {
      const DWORD code = GetLastError();
      if (code != ERROR_IO_PENDING) {
        lastError_ = static_cast<int>(code != 0 ? code : ERROR_GEN_FAILURE);
        return false;
      }
      if (WaitForSingleObject(overlapped.hEvent, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) {
        CancelIo(handle_);
        // Wait for the cancellation to finish; a transfer that completed in
        // the meantime still counts, so no report is lost.
        if (GetOverlappedResult(handle_, &overlapped, &transferred, TRUE)) return true;
        const DWORD cancelled = GetLastError();
        lastError_ = cancelled == ERROR_OPERATION_ABORTED || cancelled == 0
                         ? kTimeoutError
                         : static_cast<int>(cancelled);
        return false;
      }
    }
    if (!GetOverlappedResult(handle_, &overlapped, &transferred, TRUE)) {
      lastError_ = LastErrorOr(ERROR_GEN_FAILURE);
      return false;
    }
    return true;
  }

  HANDLE handle_;
  UniqueEvent event_;
  std::wstring path_;
  UniqueEvent lock_;  // the device's semaphore, once asked for
  int holds_ = 0;
  int lastError_ = 0;
};

struct DevInfoDeleter {
  void operator()(HDEVINFO set) const { SetupDiDestroyDeviceInfoList(set); }
};
using UniqueDevInfo = std::unique_ptr<void, DevInfoDeleter>;

class WindowsInterfaceSet final : public InterfaceSet {
 public:
  WindowsInterfaceSet(UniqueDevInfo set, const GUID& guid) : set_(std::move(set)), guid_(guid) {}

  Item At(std::size_t index) override {
    SP_DEVICE_INTERFACE_DATA data{};
    if (Enumerate(index, data)) return Item::kPresent;
    return GetLastError() == ERROR_NO_MORE_ITEMS ? Item::kNoMore : Item::kFailed;
  }

  bool DevicePath(std::size_t index, std::string& path) override {
    SP_DEVICE_INTERFACE_DATA data{};
    if (!Enumerate(index, data)) return false;
    // First call: the size the detail structure needs.
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(set_.get(), &data, nullptr, 0, &required, nullptr);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER ||
        required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
      return false;
    }
    // Second call: the path. The buffer is made of DWORDs so that the
    // structure is suitably aligned.
    std::vector<DWORD> buffer((required + sizeof(DWORD) - 1) / sizeof(DWORD) + 1, 0);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(set_.get(), &data, detail, required, nullptr, nullptr)) {
      return false;
    }
    // The path ends with a terminator inside the buffer (zero-filled and one
    // DWORD longer than asked for).
    path = WideToUtf8(detail->DevicePath);
    return !path.empty();
  }

 private:
  bool Enumerate(std::size_t index, SP_DEVICE_INTERFACE_DATA& data) {
    if (index > MAXDWORD) {
      SetLastError(ERROR_NO_MORE_ITEMS);
      return false;
    }
    data.cbSize = sizeof(data);
    return SetupDiEnumDeviceInterfaces(set_.get(), nullptr, &guid_, static_cast<DWORD>(index),
                                       &data) != FALSE;
  }

  UniqueDevInfo set_;
  GUID guid_;
};

class WindowsPlatform final : public Platform {
 public:
  std::unique_ptr<InterfaceSet> PresentInterfaces() override {
    GUID guid{};
    HidD_GetHidGuid(&guid);
    HDEVINFO set =
        SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<WindowsInterfaceSet>(UniqueDevInfo(set), guid);
  }

  std::unique_ptr<Device> Open(const std::string& path) override {
    std::wstring widePath;
    if (!Utf8ToWide(path, widePath)) return nullptr;
    UniqueEvent event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) return nullptr;
    HANDLE handle = CreateFileW(widePath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<WindowsDevice>(handle, std::move(event), widePath);
  }

  // The refusal is asked for again; the IDs are in the interface path
  // itself ("\\?\hid#vid_0755&pid_0102#...").
  std::optional<Refusal> DescribeUnopenable(const std::string& path) override {
    Refusal refusal;
    std::wstring widePath;
    if (!Utf8ToWide(path, widePath)) {
      refusal.error = ERROR_INVALID_NAME;
    } else {
      HANDLE handle = CreateFileW(widePath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr);
      if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return std::nullopt;
      }
      refusal.error = LastErrorOr(ERROR_GEN_FAILURE);
    }
    Attributes attributes;
    if (IdsFromPath(path, attributes)) refusal.attributes = attributes;
    return refusal;
  }

 private:
  static bool IdsFromPath(const std::string& path, Attributes& attributes) {
    std::string lower(path);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
    unsigned vendor = 0, product = 0;
    const std::size_t at = lower.find("vid_");
    if (at == std::string::npos ||
        std::sscanf(lower.c_str() + at, "vid_%4x&pid_%4x", &vendor, &product) != 2) {
      return false;
    }
    attributes.vendorId = static_cast<std::uint16_t>(vendor);
    attributes.productId = static_cast<std::uint16_t>(product);
    return true;
  }
};

}  // namespace

std::string SystemErrorText(int code) {
  char text[256] = {};
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(code),
      MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT), text, sizeof text, nullptr);
  std::string out(text, n);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.')) {
    out.pop_back();
  }
  return out.empty() ? "system error " + std::to_string(code) : out;
}

std::shared_ptr<Platform> MakeSystemPlatform() {
  return std::make_shared<WindowsPlatform>();
}

}  // namespace velkan::hid
