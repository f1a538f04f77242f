// The chip data generator's process: whatever it does, the station gets an
// answer in bounded time and memory, and nothing of the command outlives
// the call.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "production/child_process.h"
#include "temp_dir.h"

namespace velkan::production {
namespace {

using namespace std::chrono_literals;

ChildResult RunCommand(const std::string& command, std::chrono::milliseconds timeout = 5000ms,
                       std::string input = "", std::size_t outputLimit = 1 << 20) {
  ChildRequest request;
  request.command = command;
  request.timeout = timeout;
  request.input = std::move(input);
  request.outputLimit = outputLimit;
  request.environment = {{"VELKAN_SERIAL", "00000100"}, {"HOME", "/nonexistent-home"}};
  ChildResult result;
  std::string error;
  EXPECT_TRUE(RunChild(request, result, error)) << error;
  return result;
}

TEST(ChildProcess, InputEnvironmentOutputAndExitStatus) {
  ChildResult r = RunCommand(
      "read line; echo \"$line $VELKAN_SERIAL $HOME\"; echo oops >&2; exit 4", 5000ms, "hello\n");
  EXPECT_EQ(r.exitCode, 4);
  EXPECT_EQ(r.output, "hello 00000100 /nonexistent-home\n");
  EXPECT_EQ(r.errorOutput, "oops\n");
  EXPECT_FALSE(r.timedOut);
  // A command that never reads a large input ends cleanly (no SIGPIPE here).
  r = RunCommand("echo done", 5000ms, std::string(4 << 20, 'x'));
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.output, "done\n");
}

TEST(ChildProcess, HangsAndFloodsAreKilledWithEverythingTheyStarted) {
  test::TempDir dir;
  const std::string pidFile = dir / "pid";
  const auto started = std::chrono::steady_clock::now();
  // The shell's own child keeps running in the background, its output closed.
  ChildResult r = RunCommand(
      "sleep 30 >/dev/null 2>&1 & echo $! > '" + pidFile + "'; exec >&- 2>&-; wait", 300ms);
  EXPECT_TRUE(r.timedOut);
  EXPECT_EQ(r.exitCode, -1);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  int pid = 0;
  std::ifstream(pidFile) >> pid;
  ASSERT_GT(pid, 0);
  // Killed with its group (a moment for the kernel to reap it via init).
  bool gone = false;
  for (int i = 0; i < 100 && !gone; ++i) {
    gone = ::kill(pid, 0) != 0;
    if (!gone) std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(gone) << "the generator's child " << pid << " still runs";
  // Output beyond the limit ends the command; what is kept stays bounded.
  r = RunCommand("yes 9000:AA", 5000ms, "", 4096);
  EXPECT_TRUE(r.outputTooLong);
  EXPECT_EQ(r.output.size(), 4096u);
  EXPECT_EQ(r.exitCode, -1);
  // A command that cannot be found is a failed run, not an error of the call.
  r = RunCommand("/nonexistent/generator");
  EXPECT_EQ(r.exitCode, 127);
}

}  // namespace
}  // namespace velkan::production
