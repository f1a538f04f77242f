// The offline loading run: stores the page's script in the programmer's
// offline storage as offline records, with the HEX file's name.
#include <string>
#include <vector>

#include "common/codepage.h"
#include "script/run_common.h"
#include "script/runs.h"
#include "script/session.h"
#include "script/syntax.h"
#include "velkan/velkan.h"

namespace velkan {

namespace {

constexpr std::uint8_t kBeginRecord = 0x02;
constexpr std::uint8_t kEndRecord = 0x03;
constexpr std::size_t kMaxRecordContent = 255;
constexpr std::size_t kMaxNameBytes = 255;
// Record numbers are 16 bits; the end record takes the number after the
// last line record.
constexpr std::size_t kMaxLineRecords = 0xFFFF - 1;

// Codes of the run's end, as RunOutcome reports them.
constexpr int kStored = 0;
constexpr int kProgrammerFailure = -1;
constexpr int kUnsupportedLine = 3;
constexpr int kRefused = 4;

// The HEX file's name: the path after its last separator. The pages keep
// Windows paths with backslashes; on our other platforms '/' separates too.
std::string FileNamePart(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Everything that cannot be stored is refused before the programmer's
// current offline script is erased. Returns the refusal text, or empty.
std::string PreCheck(const ScriptTable& script, const std::string& name) {
  std::size_t records = 0;
  for (const auto& [number, text] : script) {
    const ScriptLine line = ParseScriptLine(text);
    if (line.kind == ScriptLine::Kind::kSkipped) continue;
    ++records;
    if (line.kind == ScriptLine::Kind::kTooLong ||
        (line.kind == ScriptLine::Kind::kCommand && line.count > kMaxRecordContent)) {
      return line.argumentText + "数据超过255字节，不能装载！\r\n";
    }
  }
  if (records > kMaxLineRecords) return "脚本超过65534行，不能装载！\r\n";
  if (name.size() > kMaxNameBytes) return "下载文件名超过255字节，不能装载！\r\n";
  return {};
}

// The run after the programmer is open; returns its code and leaves the
// failure text in the log.
int Load(Page& page, int handle, std::string& name) {
  auto fail = [&page](const std::string& text, int code) {
    page.Append(text);
    page.Show();
    return code;
  };
  page.Append("脱机程序装载...\r\n");
  page.Show();
  if (DllEraseOfflineData(handle) != 0) return fail("擦除原有数据错误！\r\n", kProgrammerFailure);
  // Records without content still pass a valid pointer.
  std::uint8_t none = 0;
  if (DllWriteOfflineData(handle, 0, kBeginRecord, &none, 0) != 0) {
    return fail("写入命令开始错误！\r\n", kProgrammerFailure);
  }
  unsigned counter = 1;
  const ScriptTable& script = page.Script();
  for (const auto& [number, text] : script) {
    ScriptLine line = ParseScriptLine(text);
    if (line.kind == ScriptLine::Kind::kSkipped) continue;
    if (line.kind != ScriptLine::Kind::kCommand) {
      return fail(line.text + "命令不被支持！\r\n", kUnsupportedLine);
    }
    if (DllWriteOfflineData(handle, static_cast<unsigned short>(counter & 0xFFFF),
                            OfflineRecordKind(line.keyword), line.bytes.data(),
                            static_cast<unsigned char>(line.count)) != 0) {
      return fail(line.argumentText + "写入命令错误！\r\n", kProgrammerFailure);
    }
    ++counter;
    page.ShowProgress(ProgressPercent(number, script.size()));
  }
  if (DllWriteOfflineData(handle, static_cast<unsigned short>(counter & 0xFFFF), kEndRecord, &none,
                          0) != 0) {
    return fail("写入命令结束错误！\r\n", kProgrammerFailure);
  }
  if (DllSetOfflineFileName(handle, name.data(), static_cast<unsigned>(name.size())) != 0) {
    return fail("设置下载文件名错误！\r\n", kProgrammerFailure);
  }
  return kStored;
}

}  // namespace

RunOutcome OfflineLoadRun(Page& page) {
  RunOutcome outcome;
  page.EnableInputs(false);
  page.ClearLog();

  std::string name = ToSystemCodePage(FileNamePart(page.HexPath()));
  const std::string refusal = PreCheck(page.Script(), name);
  if (!refusal.empty()) {
    page.Append(refusal);
    page.Show();
    page.EnableInputs(true);
    outcome.result = kRefused;
    return outcome;
  }

  if (const OpenOutcome open = EnsureProgrammerOpen(page); open != OpenOutcome::kOpen) {
    page.EnableInputs(true);
    outcome.opened = open != OpenOutcome::kNotFound;
    outcome.busy = open == OpenOutcome::kBusy;
    outcome.result = kProgrammerFailure;
    return outcome;
  }

  const int handle = ReaderHandle();
  outcome.result = Load(page, handle, name);
  if (outcome.result == kStored) {
    page.EnableInputs(true);
    page.Append("脱机文件装载正确！\r\n");
    page.Append(page.FuseChosen() ? "熔断位已选择，编程后将锁死，不能再编程！\r\n"
                                  : "熔断位未选择，可重复编程！\r\n");
    page.Append("\r\n请将设备断电，切换至OFFLINE模式，然后上电进行脱机下载！\r\n");
    page.Show();
  } else {
    if (outcome.result == kProgrammerFailure && IsOpenHandle(handle)) {
      DllCloseReader(handle);
      SetReaderHandle(0);
    }
    page.EnableInputs(true);
  }
  return outcome;
}

int OfflineLoadThread(Page& page) {
  OfflineLoadRun(page);
  return 0;
}

}  // namespace velkan
