// The renderings of a run's events agree: the log lines (the gang view's
// lines and status) are the log text's lines, and only the programmer's
// absence or another program holding it says a notice.
#include "script/events.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velkan {
namespace {

Event Of(EventKind kind, RunKind run = RunKind::kOnline) {
  Event e;
  e.kind = kind;
  e.run = run;
  return e;
}

// The events of both runs that may carry log text, failures of every kind
// included.
std::vector<Event> EventsWithText() {
  std::vector<Event> events;
  for (RunKind run : {RunKind::kOnline, RunKind::kOffline}) {
    events.push_back(Of(EventKind::kProgrammerOpened, run));
    events.push_back(Of(EventKind::kProgrammerNotFound, run));
    events.push_back(Of(EventKind::kRunStarted, run));
    for (LineFailure failure : {LineFailure::kComm, LineFailure::kStatusWord, LineFailure::kMismatch,
                                LineFailure::kReset, LineFailure::kUnsupported,
                                LineFailure::kRecord}) {
      Event e = Of(EventKind::kLineFailed, run);
      e.failure = failure;
      e.lineText = "08000000";
      e.statusWord = 0x6A82;
      e.bytes = {0x90, 0x00};
      events.push_back(e);
    }
    for (bool success : {true, false}) {
      for (bool fuse : {true, false}) {
        Event e = Of(EventKind::kRunFinished, run);
        e.success = success;
        e.fuse = fuse;
        e.result = success ? 0 : 1;
        events.push_back(e);
      }
    }
  }
  for (OfflineStep step :
       {OfflineStep::kErase, OfflineStep::kBegin, OfflineStep::kEnd, OfflineStep::kName}) {
    Event e = Of(EventKind::kStepFailed, RunKind::kOffline);
    e.step = step;
    events.push_back(e);
  }
  for (OfflineRefusal refusal : {OfflineRefusal::kLineTooLong, OfflineRefusal::kTooManyLines,
                                 OfflineRefusal::kNameTooLong}) {
    Event e = Of(EventKind::kRefused, RunKind::kOffline);
    e.refusal = refusal;
    e.lineText = "0102";
    events.push_back(e);
  }
  return events;
}

TEST(RunEvents, LogLinesAreTheLinesOfTheLogText) {
  for (const Event& e : EventsWithText()) {
    std::string text;
    for (const std::string& piece : LogPieces(e)) text += piece;
    std::string joined;
    for (const std::string& line : LogLines(e)) joined += line + "\r\n";
    SCOPED_TRACE(text);
    if (e.kind == EventKind::kLineFailed && e.run == RunKind::kOnline &&
        e.failure == LineFailure::kMismatch) {
      // The closing text follows on the same line.
      EXPECT_EQ(joined, text + "\r\n");
      EXPECT_EQ(text, "08000000 比对数据错误, 返回值：90 00 ");
    } else {
      EXPECT_EQ(joined, text);
    }
    EXPECT_EQ(LogLines(e).empty(), text.empty());
  }
  Event finished = Of(EventKind::kRunFinished, RunKind::kOffline);
  finished.success = true;
  EXPECT_EQ(LogLines(finished),
            (std::vector<std::string>{"脱机文件装载正确！", "熔断位未选择，可重复编程！", "",
                                      "请将设备断电，切换至OFFLINE模式，然后上电进行脱机下载！"}));
  // Progress, a run that never reached the programmer, and the I2C press
  // add no log text.
  finished.opened = false;
  EXPECT_TRUE(LogLines(finished).empty());
  EXPECT_TRUE(LogLines(Of(EventKind::kLineDone)).empty());
  EXPECT_TRUE(LogLines(Of(EventKind::kProgrammerOpened, RunKind::kI2c)).empty());
}

TEST(RunEvents, NoticesForAMissingOrBusyProgrammerOnly) {
  for (RunKind run : {RunKind::kOnline, RunKind::kOffline}) {
    EXPECT_EQ(NoticeText(Of(EventKind::kProgrammerNotFound, run)), "打开设备失败！");
    EXPECT_EQ(NoticeText(Of(EventKind::kProgrammerBusy, run)), kBusyText);
  }
  // The I2C page says its own.
  EXPECT_FALSE(NoticeText(Of(EventKind::kProgrammerNotFound, RunKind::kI2c)));
  for (const Event& e : EventsWithText()) {
    if (e.kind != EventKind::kProgrammerNotFound) {
      EXPECT_FALSE(NoticeText(e));
    }
  }
}

}  // namespace
}  // namespace velkan
