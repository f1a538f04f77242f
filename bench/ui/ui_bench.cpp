// The desktop application's cost on top of the work it drives.
//
//   build/bin/ui_bench
//
// BM_OnlineRunGuiOverhead: a full-application online run (data in all 256
// blocks) against the emulated programmer at USB full speed on the real
// clock, started with the page's start button and followed in its log box,
// compared with the same start operation and run on a page without any
// toolkit. The ratio counter (GUI wall time / plain wall time) should stay at
// or below 1.03.
//
// BM_StartToFirstWindow: from starting the velkan-tool process (offscreen,
// emulated programmer) to the first paint of its main window.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "emulator/emulator.h"
#include "image/start_programming.h"
#include "programmer/backend.h"
#include "script/runs.h"
#include "script/session.h"
#include "ui/main_dialog.h"
#include "velkan/velkan.h"

extern char** environ;

namespace {

using Seconds = std::chrono::duration<double>;

class AnswerOk final : public velkan::ui::UiDialogs {
 public:
  velkan::MsgResult MessageBox(QWidget*, std::string_view, std::string_view, velkan::MsgButtons,
                               velkan::MsgIcon) override {
    return velkan::MsgResult::kOk;
  }
  std::optional<QString> OpenHexFile(QWidget*, const QString&) override { return std::nullopt; }
  std::optional<QString> ChooseLogDatabase(QWidget*, const QString&) override {
    return std::nullopt;
  }
};

// The same page operations without a toolkit: the log box is a string.
class PlainPage final : public velkan::RunLog, public velkan::Dialogs {
 public:
  velkan::MsgResult MessageBox(std::string_view, std::string_view, velkan::MsgButtons,
                               velkan::MsgIcon) override {
    return velkan::MsgResult::kOk;
  }

 protected:
  void Display(const std::string& logText, std::string_view tail) override {
    box_ = logText;
    box_ += tail;
  }

 private:
  std::string box_;
};

// A HEX file with a byte other than 0xFF in every block of the APP region.
void WriteFullHex(const std::string& path) {
  std::ofstream out(path, std::ios::binary);
  for (unsigned offset = 0; offset < 32768; offset += 16) {
    const unsigned address = 0x2000 + offset;
    unsigned sum = 16 + (address >> 8) + (address & 0xFF);
    char line[64];
    int n = std::snprintf(line, sizeof line, ":10%04X00", address);
    for (unsigned i = 0; i < 16; ++i) {
      const unsigned byte = ((offset + i) * 7 + (offset + i) / 256) & 0x7F;
      sum += byte;
      n += std::snprintf(line + n, sizeof line - n, "%02X", byte);
    }
    std::snprintf(line + n, sizeof line - n, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
    out << line;
  }
  out << ":00000001FF\r\n";
}

double PlainRun(const std::string& path) {
  PlainPage page;
  const auto start = std::chrono::steady_clock::now();
  velkan::ProgrammerLease lease = velkan::ProgrammerLease::TryAcquire();
  if (velkan::StartProgramming(page, path, false, page.Script())) {
    std::thread worker([&page, held = std::move(lease)]() mutable {
      velkan::OnlineProgramRun(velkan::DefaultStation(), page.Context(false, page));
      held.Release();
    });
    worker.join();
  }
  return Seconds(std::chrono::steady_clock::now() - start).count();
}

double GuiRun(CVELKANToolV2xxxDlg& dialog, const std::string& path) {
  velkan::ui::ProgrammingPage& page = dialog.m_onlinePage;
  page.m_editHexPath->setText(QString::fromStdString(path));
  const auto start = std::chrono::steady_clock::now();
  page.m_btnStart->click();
  page.WaitForRun();
  return Seconds(std::chrono::steady_clock::now() - start).count();
}

void BM_OnlineRunGuiOverhead(benchmark::State& state) {
  auto emulator = velkan::UseEmulator(std::nullopt);
  emulator->SetLatency(velkan::emu::Latency::UsbFullSpeed());
  velkan::SetReaderHandle(0);
  QTemporaryDir temp;
  const std::string path = QDir(temp.path()).filePath(QStringLiteral("app.hex")).toStdString();
  WriteFullHex(path);

  AnswerOk dialogs;
  CVELKANToolV2xxxDlg dialog(dialogs);
  dialog.show();
  QApplication::processEvents();

  // Both runs find the programmer open: the first open (with its re-power
  // and 100 ms wait) happens here, outside the timing.
  PlainRun(path);

  double gui = 0;
  double plain = 0;
  // The order alternates, so that a drift in the machine's load does not
  // favour either side.
  bool plainFirst = true;
  for (auto _ : state) {
    if (plainFirst) plain += PlainRun(path);
    const double once = GuiRun(dialog, path);
    if (!plainFirst) plain += PlainRun(path);
    plainFirst = !plainFirst;
    gui += once;
    state.SetIterationTime(once);
  }
  const std::string log = dialog.m_onlinePage.LogText();
  if (log.find("下载成功！") == std::string::npos) state.SkipWithError("the run did not succeed");
  state.counters["gui_s"] = gui / static_cast<double>(state.iterations());
  state.counters["plain_s"] = plain / static_cast<double>(state.iterations());
  state.counters["ratio"] = gui / plain;

  velkan::DefaultStation().CloseReader();
}
BENCHMARK(BM_OnlineRunGuiOverhead)->Iterations(4)->UseManualTime()->Unit(benchmark::kMillisecond);

// One progress display from a run's thread: the window call and the log
// box's update on the page's thread, as the run sees it.
void BM_ProgressDisplayFromWorker(benchmark::State& state) {
  AnswerOk dialogs;
  CVELKANToolV2xxxDlg dialog(dialogs);
  dialog.show();
  QApplication::processEvents();
  velkan::ui::ProgrammingPage& page = dialog.m_onlinePage;
  page.Append("打开设备成功！\r\n联机编程...\r\n");
  for (auto _ : state) {
    std::atomic<bool> done{false};
    const auto start = std::chrono::steady_clock::now();
    std::thread worker([&] {
      for (int percent = 0; percent < 100; ++percent) page.ShowProgress(percent);
      done = true;
      QCoreApplication::postEvent(&page, new QEvent(QEvent::User));
    });
    while (!done) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    worker.join();
    state.SetIterationTime(Seconds(std::chrono::steady_clock::now() - start).count() / 100);
  }
}
BENCHMARK(BM_ProgressDisplayFromWorker)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_StartToFirstWindow(benchmark::State& state) {
  for (auto _ : state) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
      state.SkipWithError("pipe");
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    char program[] = VELKAN_TOOL_PATH;
    char emulatorArg[] = "--emulator";
    char quitArg[] = "--quit-when-shown";
    char* argv[] = {program, emulatorArg, quitArg, nullptr};

    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (rc != 0) {
      close(pipeFds[0]);
      state.SkipWithError("cannot start velkan-tool");
      return;
    }
    std::string got;
    char buffer[64];
    ssize_t n = 0;
    while (got.find("shown") == std::string::npos &&
           (n = read(pipeFds[0], buffer, sizeof buffer)) > 0) {
      got.append(buffer, static_cast<std::size_t>(n));
    }
    const auto shown = std::chrono::steady_clock::now();
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (got.find("shown") == std::string::npos) {
      state.SkipWithError("no window was shown");
      return;
    }
    state.SetIterationTime(Seconds(shown - start).count());
  }
}
BENCHMARK(BM_StartToFirstWindow)->Iterations(10)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
