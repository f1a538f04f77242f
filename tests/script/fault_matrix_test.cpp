// Every fault of the emulated programmer at every exchange of a small
// generated script's online and offline run: the right closing text, the
// reader handle closed exactly after a communication failure, the inputs
// enabled again, and no hang (a missing answer costs only virtual time).
#include <gtest/gtest.h>

#include "emulated_programmer.h"
#include "script/runs.h"
#include "script/syntax.h"
#include "test_page.h"

namespace velkan::test {
namespace {

constexpr emu::FaultKind kAllFaults[] = {
    emu::FaultKind::kWriteFail, emu::FaultKind::kReadFail,       emu::FaultKind::kStatus,
    emu::FaultKind::kBadCheck,  emu::FaultKind::kLengthOverflow, emu::FaultKind::kEmptyReport,
    emu::FaultKind::kUnplug,    emu::FaultKind::kNoAnswer,
};

std::string Name(emu::FaultKind kind) {
  switch (kind) {
    case emu::FaultKind::kWriteFail:
      return "WriteFail";
    case emu::FaultKind::kReadFail:
      return "ReadFail";
    case emu::FaultKind::kStatus:
      return "Status";
    case emu::FaultKind::kBadCheck:
      return "BadCheck";
    case emu::FaultKind::kLengthOverflow:
      return "LengthOverflow";
    case emu::FaultKind::kEmptyReport:
      return "EmptyReport";
    case emu::FaultKind::kUnplug:
      return "Unplug";
    case emu::FaultKind::kNoAnswer:
      return "NoAnswer";
  }
  return "?";
}

// What one exchange of a clean run belongs to.
struct Role {
  enum Kind { kIgnored, kStep } kind;
  std::string failure;  // for kStep: the log's end when this exchange fails
};

class FaultMatrixTest : public EmulatedProgrammerTest {
 protected:
  static ScriptTable SmallScript() { return ProgrammingScript(PatternImage(2), false); }

  // A fresh programmer and closed handle for each case.
  void Fresh() {
    CloseReader();
    emulator_ = UseEmulator(std::nullopt);
    ASSERT_NE(emulator_, nullptr);
  }
};

TEST_F(FaultMatrixTest, OnlineRun) {
  const ScriptTable script = SmallScript();
  // The clean run's exchanges and what each one belongs to.
  std::vector<Role> roles = {{Role::kIgnored, {}}, {Role::kIgnored, {}}};  // re-power, LED 0
  std::string firstExchangingLine;
  for (const auto& [number, text] : script) {
    const ScriptLine line = ParseScriptLine(text);
    const std::string failing =
        line.keyword == ScriptKeyword::kICmd ? line.argumentText : line.text;
    const int exchanges = line.keyword == ScriptKeyword::kICmd     ? 2
                          : line.keyword == ScriptKeyword::kReboot ? 1
                                                                   : 0;
    for (int i = 0; i < exchanges; ++i) {
      roles.push_back({Role::kStep, failing + " 通信错误！\r\n下载失败！\r\n"});
    }
    if (exchanges > 0 && firstExchangingLine.empty()) firstExchangingLine = roles.back().failure;
  }
  for (int i = 0; i < 3; ++i) roles.push_back({Role::kIgnored, {}});  // re-power, LED, speaker
  {
    TestPage page;
    page.Script() = script;
    ASSERT_EQ(page.Online().result, kRunOk);
    ASSERT_EQ(emulator_->ExchangeCount(), roles.size());
  }

  int cases = 0;
  for (const emu::FaultKind kind : kAllFaults) {
    for (std::size_t at = 0; at < roles.size(); ++at) {
      SCOPED_TRACE(Name(kind) + " at exchange " + std::to_string(at));
      Fresh();
      emulator_->InjectFault(FaultAtExchange(kind, at));
      TestPage page;
      page.Script() = script;
      const RunOutcome outcome = page.Online();
      ++cases;

      std::string expectedEnd = roles[at].failure;
      // An unplugged programmer fails the first line that reaches it.
      if (roles[at].kind == Role::kIgnored && kind == emu::FaultKind::kUnplug && at < 2) {
        expectedEnd = firstExchangingLine;
      }
      const bool failed = !expectedEnd.empty();
      if (!failed) expectedEnd = "下载成功！\r\n";
      const std::string& log = page.LogText();
      ASSERT_GE(log.size(), expectedEnd.size());
      EXPECT_EQ(log.substr(log.size() - expectedEnd.size()), expectedEnd);
      EXPECT_EQ(outcome.result, failed ? kRunCommFailure : kRunOk);
      if (failed) {
        EXPECT_EQ(ReaderHandle(), 0);
      } else {
        EXPECT_GT(ReaderHandle(), 0);
      }
      EXPECT_EQ(page.LogBox(), log);
    }
  }
  EXPECT_EQ(cases, 8 * 18);
}

TEST_F(FaultMatrixTest, OfflineRun) {
  const ScriptTable script = SmallScript();
  std::vector<Role> roles = {{Role::kIgnored, {}},
                             {Role::kStep, "擦除原有数据错误！\r\n"},
                             {Role::kStep, "写入命令开始错误！\r\n"}};
  for (const auto& [number, text] : script) {
    roles.push_back({Role::kStep, ParseScriptLine(text).argumentText + "写入命令错误！\r\n"});
  }
  roles.push_back({Role::kStep, "写入命令结束错误！\r\n"});
  roles.push_back({Role::kStep, "设置下载文件名错误！\r\n"});
  {
    TestPage page;
    page.Script() = script;
    ASSERT_EQ(page.Offline().result, 0);
    ASSERT_EQ(emulator_->ExchangeCount(), roles.size());
  }

  int cases = 0;
  for (const emu::FaultKind kind : kAllFaults) {
    for (std::size_t at = 0; at < roles.size(); ++at) {
      SCOPED_TRACE(Name(kind) + " at exchange " + std::to_string(at));
      Fresh();
      emulator_->InjectFault(FaultAtExchange(kind, at));
      TestPage page;
      page.Script() = script;
      page.SetHexPath("C:\\fw\\small.hex");
      const RunOutcome outcome = page.Offline();
      ++cases;

      std::string expectedEnd = roles[at].failure;
      if (at == 0 && kind == emu::FaultKind::kUnplug) expectedEnd = roles[1].failure;
      const bool failed = !expectedEnd.empty();
      if (!failed) expectedEnd = "上电进行脱机下载！\r\n";
      const std::string& log = page.LogText();
      ASSERT_GE(log.size(), expectedEnd.size());
      EXPECT_EQ(log.substr(log.size() - expectedEnd.size()), expectedEnd);
      EXPECT_EQ(outcome.result, failed ? -1 : 0);
      if (failed) {
        EXPECT_EQ(ReaderHandle(), 0);
        // Nothing of the closing texts after a failure.
        EXPECT_EQ(log.find("脱机文件装载正确"), std::string::npos);
      } else {
        EXPECT_GT(ReaderHandle(), 0);
        EXPECT_EQ(emulator_->OfflineName(), "small.hex");
        EXPECT_EQ(emulator_->OfflineRecords().size(), script.size() + 2);
      }
    }
  }
  EXPECT_EQ(cases, 8 * 13);
}

}  // namespace
}  // namespace velkan::test
