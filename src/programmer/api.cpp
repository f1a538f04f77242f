// SPDX-License-Identifier: Apache-2.0
// The exported C API: a thin layer over Programmer that owns the
// module-wide state (handle table, last-error value, firmware first-block
// flag, the platform DllOpenReader searches). Each handle also keeps the
// last-error value of its own last call, for the tools.
//
// Handles are small positive numbers handed out in increasing order (never
// 0 or -2) and not reused while the process runs, so a stale handle cannot
// reach a programmer opened later. The table is guarded by one mutex that
// is held only to look a handle up; each handle has a mutex of its own for
// its exchanges, so a slow exchange on one programmer never blocks another.
#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <mutex>

#include "common/codepage.h"
#include "emulator/emulator.h"
#include "programmer/backend.h"
#include "programmer/device_search.h"
#include "programmer/hid_emulated.h"
#include "programmer/internal_api.h"
#include "programmer/programmer.h"
#include "programmer/trace.h"
#include "velkan/velkan.h"

namespace velkan {

namespace {

static_assert(kReaderBusy == VELKAN_ERR_BUSY);

std::atomic<int> g_lastError{0};
// Set when the process starts and by DllDownloadFirmwareStart.
std::atomic<bool> g_firstBlock{true};

struct Entry {
  std::mutex mutex;
  std::unique_ptr<Programmer> programmer;  // null once closed
  // The firmware first-block flag of a handle that keeps its own.
  std::atomic<bool> firstBlock{true};
  // The last-error value of the last call on this handle.
  std::atomic<int> lastError{0};
};

struct Module {
  std::mutex mutex;
  std::map<int, std::shared_ptr<Entry>> handles;
  int nextHandle = 1;
  std::shared_ptr<hid::Platform> platform;  // null: the system's HID, made on first use
  bool systemHid = true;                    // the platform is the system's HID
  std::vector<std::shared_ptr<emu::Emulator>> emulators;
  std::optional<DeviceSelector> selector;
};

Module& TheModule() {
  static Module module;
  return module;
}

std::shared_ptr<hid::Platform> CurrentPlatform(Module& m) {
  if (!m.platform) m.platform = hid::MakeSystemPlatform();
  return m.platform;
}

std::shared_ptr<Entry> Find(int reader) {
  Module& m = TheModule();
  std::lock_guard lock(m.mutex);
  auto it = m.handles.find(reader);
  return it == m.handles.end() ? nullptr : it->second;
}

// Runs `op` on the programmer behind `reader` and publishes its last-error
// value, to the handle and module-wide. An unknown handle gives
// `badHandleResult` and VELKAN_ERR_BAD_HANDLE (module-wide only: there is
// no handle to keep it).
template <typename Op>
int Call(int reader, int badHandleResult, Op&& op) {
  std::shared_ptr<Entry> entry = Find(reader);
  if (entry) {
    std::lock_guard lock(entry->mutex);
    if (entry->programmer) {
      const int rc = op(*entry->programmer);
      const int error = entry->programmer->LastError();
      entry->lastError.store(error, std::memory_order_relaxed);
      g_lastError.store(error, std::memory_order_relaxed);
      return rc;
    }
  }
  g_lastError.store(VELKAN_ERR_BAD_HANDLE, std::memory_order_relaxed);
  return badHandleResult;
}

std::shared_ptr<hid::Platform> Platform() {
  Module& m = TheModule();
  std::lock_guard lock(m.mutex);
  return CurrentPlatform(m);
}

int Open(const std::optional<DeviceSelector>& selector, bool ownFirmwareFlag = false) {
  Module& m = TheModule();
  std::shared_ptr<hid::Platform> platform = Platform();
  if (!platform) return VELKAN_ERR_NO_READER;
  std::unique_ptr<hid::Device> device = OpenProgrammer(*platform, selector);
  if (!device) return VELKAN_ERR_NO_READER;

  auto entry = std::make_shared<Entry>();
  entry->programmer = std::make_unique<Programmer>(
      TracedDevice(std::move(device)), ownFirmwareFlag ? entry->firstBlock : g_firstBlock);
  std::lock_guard lock(m.mutex);
  while (m.handles.count(m.nextHandle) != 0) {
    m.nextHandle = m.nextHandle == INT_MAX ? 1 : m.nextHandle + 1;
  }
  const int handle = m.nextHandle;
  m.nextHandle = m.nextHandle == INT_MAX ? 1 : m.nextHandle + 1;
  m.handles.emplace(handle, std::move(entry));
  return handle;
}

int Close(int reader) {
  std::shared_ptr<Entry> entry;
  {
    Module& m = TheModule();
    std::lock_guard lock(m.mutex);
    auto it = m.handles.find(reader);
    if (it == m.handles.end()) return VELKAN_ERR_CLOSE;
    entry = std::move(it->second);
    m.handles.erase(it);
  }
  // Waits for an exchange that another thread may still run on it.
  std::lock_guard lock(entry->mutex);
  const bool closed = entry->programmer->Close();
  entry->programmer.reset();
  return closed ? 0 : VELKAN_ERR_CLOSE;
}

}  // namespace

void UsePlatform(std::shared_ptr<hid::Platform> platform) {
  Module& m = TheModule();
  std::lock_guard lock(m.mutex);
  m.systemHid = platform == nullptr;
  m.platform = std::move(platform);
  m.emulators.clear();
}

void UseSystemHid() {
  UsePlatform(nullptr);
}

std::shared_ptr<emu::Emulator> UseEmulator(const std::optional<std::filesystem::path>& stateDir,
                                           std::string* error) {
  auto emulators = UseEmulators(stateDir, 1, error);
  return emulators.empty() ? nullptr : emulators.front();
}

std::vector<std::shared_ptr<emu::Emulator>> UseEmulators(
    const std::optional<std::filesystem::path>& stateDir, std::size_t count, std::string* error) {
  std::vector<std::shared_ptr<emu::Emulator>> emulators;
  for (std::size_t i = 0; i < count; ++i) {
    std::optional<std::filesystem::path> dir = stateDir;
    if (dir && count > 1) *dir /= hid::EmulatorSerial(i);
    auto emulator = std::make_shared<emu::Emulator>(dir);
    if (!emulator->ok()) {
      if (error != nullptr) *error = emulator->error();
      return {};
    }
    emulators.push_back(std::move(emulator));
  }
  auto platform = hid::MakeEmulatedPlatform(emulators);
  Module& m = TheModule();
  std::lock_guard lock(m.mutex);
  m.systemHid = platform == nullptr;
  m.platform = std::move(platform);
  m.emulators = emulators;
  return emulators;
}

std::shared_ptr<emu::Emulator> CurrentEmulator() {
  Module& m = TheModule();
  std::lock_guard lock(m.mutex);
  return m.emulators.empty() ? nullptr : m.emulators.front();
}

std::vector<std::shared_ptr<emu::Emulator>> CurrentEmulators() {
  Module& m = TheModule();
  std::lock_guard lock(m.mutex);
  return m.emulators;
}

DeviceSelector DeviceSelector::Parse(const std::string& text) {
  if (text.rfind("serial=", 0) == 0) return {Kind::kSerial, text.substr(7)};
  if (text.rfind("port=", 0) == 0) return {Kind::kPort, text.substr(5)};
  return {Kind::kPath, text};
}

void SelectDevice(std::optional<DeviceSelector> selector) {
  Module& m = TheModule();
  std::lock_guard lock(m.mutex);
  m.selector = std::move(selector);
}

void SelectDevicePath(std::optional<std::string> path) {
  if (!path) return SelectDevice(std::nullopt);
  SelectDevice(DeviceSelector{DeviceSelector::Kind::kPath, std::move(*path)});
}

int OpenReader(const std::optional<DeviceSelector>& selector, bool ownFirmwareFlag) {
  return Open(selector, ownFirmwareFlag);
}

std::optional<DeviceSelector> SelectedDevice() {
  Module& m = TheModule();
  std::lock_guard lock(m.mutex);
  return m.selector;
}

std::vector<UnopenableDevice> ListUnopenableProgrammers() {
  std::shared_ptr<hid::Platform> platform = Platform();
  if (!platform) return {};
  return FindUnopenableProgrammers(*platform);
}

int HoldReader(int reader) {
  std::shared_ptr<Entry> entry = Find(reader);
  if (!entry) return VELKAN_ERR_BAD_HANDLE;
  std::lock_guard lock(entry->mutex);
  if (!entry->programmer) return VELKAN_ERR_BAD_HANDLE;
  if (entry->programmer->Hold(false)) return 0;
  return entry->programmer->LastError() == hid::kBusyError ? kReaderBusy
                                                           : entry->programmer->LastError();
}

void ReleaseReader(int reader) {
  std::shared_ptr<Entry> entry = Find(reader);
  if (!entry) return;
  std::lock_guard lock(entry->mutex);
  if (entry->programmer) entry->programmer->Unhold();
}

bool ReaderIdentity(int reader, hid::Identity& identity) {
  std::shared_ptr<Entry> entry = Find(reader);
  if (!entry) return false;
  std::lock_guard lock(entry->mutex);
  return entry->programmer && entry->programmer->link().GetIdentity(identity);
}

const char* ErrorText(int error) {
  switch (error) {
    case 0:
      return "success";
    case VELKAN_ERR_NO_READER:
      return "no programmer found";
    case VELKAN_ERR_CLOSE:
      return "not an open reader handle, or closing failed";
    case VELKAN_ERR_BAD_ATR:
      return "unacceptable answer-to-reset";
    case VELKAN_ERR_STATUS_CHECK:
      return "check byte mismatch (reply status 1 or a damaged reply)";
    case VELKAN_ERR_STATUS_3:
    case VELKAN_ERR_STATUS_4:
    case VELKAN_ERR_STATUS_5_6:
    case VELKAN_ERR_STATUS_8:
    case VELKAN_ERR_STATUS_9:
    case VELKAN_ERR_STATUS_10:
    case VELKAN_ERR_STATUS_11:
    case VELKAN_ERR_STATUS_12:
    case VELKAN_ERR_STATUS_FE:
    case VELKAN_ERR_STATUS_OTHER:
      return "the programmer refused the request (non-zero reply status)";
    case VELKAN_ERR_REPLY_TOO_LONG:
      return "reply too long for the buffer; nothing copied";
    case VELKAN_ERR_EMPTY_REPORT:
      return "an input report carried no reply bytes";
    case VELKAN_ERR_BAD_VERSION:
      return "malformed firmware version reply";
    case VELKAN_ERR_BAD_ARGUMENT:
      return "bad argument; nothing sent";
    case VELKAN_ERR_BAD_HANDLE:
      return "not an open reader handle; nothing sent";
    case VELKAN_ERR_BUSY:
      return "the programmer is held by another program";
    default:
      break;
  }
  if (error > 0) {
    // The platform's text, kept per thread so the pointer stays valid.
    thread_local std::string text;
    text = hid::SystemErrorText(error);
    return text.c_str();
  }
  return "unknown error number";
}

std::vector<FoundDevice> ListProgrammers() {
  std::shared_ptr<hid::Platform> platform = Platform();
  if (!platform) return {};
  return FindProgrammers(*platform);
}

std::shared_ptr<hid::Platform> ActivePlatform() {
  return Platform();
}

bool UsesSystemHid() {
  Module& m = TheModule();
  std::lock_guard lock(m.mutex);
  return m.systemHid;
}

ProgrammerSearch SearchProgrammers() {
  std::shared_ptr<hid::Platform> platform = Platform();
  if (!platform) return {{}, {}, false};
  return SearchProgrammers(*platform);
}

int LastErrorValue() {
  return g_lastError.load(std::memory_order_relaxed);
}

int ReaderLastError(int reader) {
  std::shared_ptr<Entry> entry = Find(reader);
  return entry ? entry->lastError.load(std::memory_order_relaxed) : VELKAN_ERR_BAD_HANDLE;
}

int CallOnReader(int reader, const std::function<int(Programmer&)>& op) {
  return Call(reader, VELKAN_ERR_BAD_HANDLE, op);
}

int Card7816ApduWithCapacity(int reader, const std::uint8_t* apdu, int apduLength,
                             std::uint8_t* response, std::size_t responseCapacity,
                             int* responseLength) {
  return Call(reader, VELKAN_ERR_BAD_HANDLE, [&](Programmer& p) {
    return p.Card7816Apdu(apdu, apduLength, response, responseLength, responseCapacity);
  });
}

}  // namespace velkan

using velkan::Call;
using velkan::Programmer;

extern "C" {

VELKAN_API int DllOpenReader(void) {
  std::optional<velkan::DeviceSelector> selector;
  {
    velkan::Module& m = velkan::TheModule();
    std::lock_guard lock(m.mutex);
    selector = m.selector;
  }
  return velkan::Open(selector);
}

VELKAN_API int DllCloseReader(int reader) {
  return velkan::Close(reader);
}

VELKAN_API int SKSendData(int reader, int type, unsigned char command, unsigned char* data, int n) {
  return Call(reader, 0, [&](Programmer& p) { return p.SendData(type, command, data, n); });
}

VELKAN_API int SKRevData(int reader, int /*type*/, unsigned char /*command*/, unsigned char* data,
                         int* n) {
  return Call(reader, 0, [&](Programmer& p) { return p.RevData(data, n); });
}

VELKAN_API int DllReset7816Card(int reader, unsigned char* atr, int* atrLength) {
  return Call(reader, VELKAN_ERR_BAD_HANDLE,
              [&](Programmer& p) { return p.Reset7816Card(atr, atrLength); });
}

VELKAN_API int Dll7816CardPowerdown(int reader) {
  return Call(reader, VELKAN_ERR_BAD_HANDLE, [&](Programmer& p) { return p.Card7816Powerdown(); });
}

VELKAN_API int Dll7816CardAPDU(int reader, unsigned char* apdu, int apduLength, int /*unused*/,
                               unsigned char* response, int* responseLength) {
  return Call(reader, VELKAN_ERR_BAD_HANDLE, [&](Programmer& p) {
    return p.Card7816Apdu(apdu, apduLength, response, responseLength);
  });
}

VELKAN_API int DllI2cGetStatus(int reader, unsigned char* state) {
  return Call(reader, VELKAN_ERR_BAD_HANDLE, [&](Programmer& p) { return p.I2cGetStatus(state); });
}

// The contact card's state query is the same function under a second name.
#if defined(__GNUC__)
VELKAN_API int DllGet7816CardState(int reader, unsigned char* state)
    __attribute__((alias("DllI2cGetStatus")));
#else
VELKAN_API int DllGet7816CardState(int reader, unsigned char* state) {
  return DllI2cGetStatus(reader, state);
}
#endif

VELKAN_API int DllGetFirmwareVersion(int reader, char* version, unsigned int* versionLength,
                                     unsigned int* value) {
  return Call(reader, VELKAN_ERR_BAD_HANDLE,
              [&](Programmer& p) { return p.GetFirmwareVersion(version, versionLength, value); });
}

VELKAN_API int DllDownloadFirmwareStart(int reader) {
  return Call(reader, VELKAN_ERR_BAD_HANDLE,
              [&](Programmer& p) { return p.DownloadFirmwareStart(); });
}

VELKAN_API int DllDownloadFirmware(int reader, unsigned char* data, int count) {
  return Call(reader, VELKAN_ERR_BAD_HANDLE,
              [&](Programmer& p) { return p.DownloadFirmware(data, count); });
}

VELKAN_API int DllDownloadFirmwareComplete(int reader, unsigned char* data, int length) {
  return Call(reader, VELKAN_ERR_BAD_HANDLE,
              [&](Programmer& p) { return p.DownloadFirmwareComplete(data, length); });
}

VELKAN_API int DllLedControl(int reader, unsigned char value) {
  return Call(reader, VELKAN_ERR_BAD_HANDLE, [&](Programmer& p) { return p.LedControl(value); });
}

VELKAN_API int DllSpeakerControl(int reader, unsigned char value) {
  return Call(reader, VELKAN_ERR_BAD_HANDLE,
              [&](Programmer& p) { return p.SpeakerControl(value); });
}

VELKAN_API int DllI2cWrite(int reader, unsigned char address, unsigned char* data,
                           unsigned long length) {
  return Call(reader, VELKAN_ERR_BAD_HANDLE,
              [&](Programmer& p) { return p.I2cWrite(address, data, length); });
}

VELKAN_API int DllI2cRead(int reader, unsigned char address, unsigned char* data,
                          unsigned long* length) {
  return Call(reader, VELKAN_ERR_BAD_HANDLE,
              [&](Programmer& p) { return p.I2cRead(address, data, length); });
}

VELKAN_API int DllI2cCommand(int reader, unsigned char address, unsigned char* command,
                             unsigned long count, unsigned char* response,
                             unsigned long* responseLength) {
  return Call(reader, VELKAN_ERR_BAD_HANDLE, [&](Programmer& p) {
    return p.I2cCommand(address, command, count, response, responseLength);
  });
}

VELKAN_API int DllI2cRePower(int reader) {
  return Call(reader, VELKAN_ERR_BAD_HANDLE, [&](Programmer& p) { return p.I2cRePower(); });
}

VELKAN_API int DllWaveToBoot(int reader) {
  return Call(reader, VELKAN_ERR_BAD_HANDLE, [&](Programmer& p) { return p.WaveToBoot(); });
}

VELKAN_API int DllGetOfflineFileName(int reader, char* name, unsigned int* nameLength) {
  return Call(reader, VELKAN_ERR_BAD_HANDLE,
              [&](Programmer& p) { return p.GetOfflineFileName(name, nameLength); });
}

VELKAN_API int DllSetOfflineFileName(int reader, char* name, unsigned int nameLength) {
  return Call(reader, VELKAN_ERR_BAD_HANDLE,
              [&](Programmer& p) { return p.SetOfflineFileName(name, nameLength); });
}

VELKAN_API int DllEraseOfflineData(int reader) {
  return Call(reader, VELKAN_ERR_BAD_HANDLE, [&](Programmer& p) { return p.EraseOfflineData(); });
}

VELKAN_API int DllWriteOfflineData(int reader, unsigned short number, unsigned char kind,
                                   unsigned char* content, unsigned char length) {
  return Call(reader, VELKAN_ERR_BAD_HANDLE,
              [&](Programmer& p) { return p.WriteOfflineData(number, kind, content, length); });
}

// Both take UTF-8 paths; text that is not a valid path on this platform
// (the wide conversion throws on Windows) is a failure, never an exception
// across the C boundary.
VELKAN_API int VelkanUseEmulator(const char* stateDir) {
  try {
    std::optional<std::filesystem::path> dir;
    if (stateDir != nullptr) dir = velkan::PathFromUtf8(stateDir);
    return velkan::UseEmulator(dir) ? 0 : -1;
  } catch (const std::exception&) {
    return -1;
  }
}

VELKAN_API int VelkanTraceTo(const char* path) {
  std::string loss;
  bool opened = false;
  try {
    opened = path == nullptr ? velkan::TraceTo(std::nullopt, &loss)
                             : velkan::TraceTo(velkan::PathFromUtf8(path), &loss);
  } catch (const std::exception&) {
    opened = false;
  }
  if (!loss.empty()) return -2;
  return opened ? 0 : -1;
}

namespace {

void CopyField(char* out, std::size_t capacity, const std::string& text) {
  // Cut at capacity - 1 bytes, never inside a UTF-8 sequence.
  std::size_t n = std::min(text.size(), capacity - 1);
  while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

}  // namespace

VELKAN_API int VelkanListProgrammers(VelkanProgrammerInfo* list, int capacity) {
  try {
    const std::vector<velkan::FoundDevice> found = velkan::ListProgrammers();
    if (list != nullptr) {
      for (int i = 0; i < capacity && static_cast<std::size_t>(i) < found.size(); ++i) {
        VelkanProgrammerInfo& info = list[i];
        info = VelkanProgrammerInfo{};
        CopyField(info.path, sizeof info.path, found[i].path);
        info.vendorId = found[i].vendorId;
        info.productId = found[i].productId;
        CopyField(info.serial, sizeof info.serial, found[i].serial);
        CopyField(info.port, sizeof info.port, found[i].port);
        CopyField(info.product, sizeof info.product, found[i].product);
      }
    }
    return static_cast<int>(std::min<std::size_t>(found.size(), INT_MAX));
  } catch (const std::exception&) {
    return 0;
  }
}

VELKAN_API int VelkanOpenReaderPath(const char* path) {
  if (path == nullptr) return VELKAN_ERR_NO_READER;
  try {
    return velkan::OpenReader(
        velkan::DeviceSelector{velkan::DeviceSelector::Kind::kPath, std::string(path)});
  } catch (const std::exception&) {
    return VELKAN_ERR_NO_READER;
  }
}

VELKAN_API const char* VelkanErrorText(int error) {
  try {
    return velkan::ErrorText(error);
  } catch (const std::exception&) {
    return "unknown error number";
  }
}

}  // extern "C"
