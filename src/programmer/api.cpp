// The exported C API: a thin layer over Programmer that owns the
// module-wide state (handle table, last-error value, firmware first-block
// flag, the platform DllOpenReader searches).
//
// Handles are small positive numbers handed out in increasing order (never
// 0 or -2) and not reused while the process runs, so a stale handle cannot
// reach a programmer opened later. The table is guarded by one mutex that
// is held only to look a handle up; each handle has a mutex of its own for
// its exchanges, so a slow exchange on one programmer never blocks another.
#include <atomic>
#include <climits>
#include <exception>
#include <map>
#include <memory>
#include <mutex>

#include "common/codepage.h"
#include "emulator/emulator.h"
#include "programmer/backend.h"
#include "programmer/device_search.h"
#include "programmer/hid_emulated.h"
#include "programmer/programmer.h"
#include "programmer/trace.h"
#include "velkan/velkan.h"

namespace velkan {

namespace {

std::atomic<int> g_lastError{0};
// Set when the process starts and by DllDownloadFirmwareStart.
std::atomic<bool> g_firstBlock{true};

struct Entry {
  std::mutex mutex;
  std::unique_ptr<Programmer> programmer;  // null once closed
};

struct Module {
  std::mutex mutex;
  std::map<int, std::shared_ptr<Entry>> handles;
  int nextHandle = 1;
  std::shared_ptr<hid::Platform> platform;  // null: the system's HID, made on first use
  std::shared_ptr<emu::Emulator> emulator;
  std::optional<std::string> selectedPath;
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
// value. An unknown handle gives `badHandleResult` and VELKAN_ERR_BAD_HANDLE.
template <typename Op>
int Call(int reader, int badHandleResult, Op&& op) {
  std::shared_ptr<Entry> entry = Find(reader);
  if (entry) {
    std::lock_guard lock(entry->mutex);
    if (entry->programmer) {
      const int rc = op(*entry->programmer);
      g_lastError.store(entry->programmer->LastError(), std::memory_order_relaxed);
      return rc;
    }
  }
  g_lastError.store(VELKAN_ERR_BAD_HANDLE, std::memory_order_relaxed);
  return badHandleResult;
}

int Open() {
  Module& m = TheModule();
  std::shared_ptr<hid::Platform> platform;
  std::optional<std::string> path;
  {
    std::lock_guard lock(m.mutex);
    platform = CurrentPlatform(m);
    path = m.selectedPath;
  }
  if (!platform) return VELKAN_ERR_NO_READER;
  std::unique_ptr<hid::Device> device = OpenProgrammer(*platform, path);
  if (!device) return VELKAN_ERR_NO_READER;

  auto entry = std::make_shared<Entry>();
  entry->programmer = std::make_unique<Programmer>(TracedDevice(std::move(device)), g_firstBlock);
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
  m.platform = std::move(platform);
  m.emulator.reset();
}

void UseSystemHid() {
  UsePlatform(nullptr);
}

std::shared_ptr<emu::Emulator> UseEmulator(const std::optional<std::filesystem::path>& stateDir,
                                           std::string* error) {
  auto emulator = std::make_shared<emu::Emulator>(stateDir);
  if (!emulator->ok()) {
    if (error != nullptr) *error = emulator->error();
    return nullptr;
  }
  auto platform = hid::MakeEmulatedPlatform(emulator);
  Module& m = TheModule();
  std::lock_guard lock(m.mutex);
  m.platform = std::move(platform);
  m.emulator = emulator;
  return emulator;
}

std::shared_ptr<emu::Emulator> CurrentEmulator() {
  Module& m = TheModule();
  std::lock_guard lock(m.mutex);
  return m.emulator;
}

void SelectDevicePath(std::optional<std::string> path) {
  Module& m = TheModule();
  std::lock_guard lock(m.mutex);
  m.selectedPath = std::move(path);
}

std::vector<FoundDevice> ListProgrammers() {
  std::shared_ptr<hid::Platform> platform;
  {
    Module& m = TheModule();
    std::lock_guard lock(m.mutex);
    platform = CurrentPlatform(m);
  }
  if (!platform) return {};
  return FindProgrammers(*platform);
}

int LastErrorValue() {
  return g_lastError.load(std::memory_order_relaxed);
}

}  // namespace velkan

using velkan::Call;
using velkan::Programmer;

extern "C" {

VELKAN_API int DllOpenReader(void) {
  return velkan::Open();
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
  try {
    if (path == nullptr) return velkan::TraceTo(std::nullopt) ? 0 : -1;
    return velkan::TraceTo(velkan::PathFromUtf8(path)) ? 0 : -1;
  } catch (const std::exception&) {
    return -1;
  }
}

}  // extern "C"
