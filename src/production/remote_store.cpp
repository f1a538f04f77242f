// The client of the recorder process: a child started with posix_spawn, its
// standard input and output two pipes whose other ends only this store
// holds (close-on-exec, so no other child of the process inherits them).
#include "production/remote_store.h"

#include "production/record_wire.h"

#if !defined(_WIN32)

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

extern char** environ;

namespace velkan::production {

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// The longest the recorder may stay silent in a request: the store's own
// waits (a busy file, 5 s per statement) fit many times.
constexpr std::chrono::seconds kSilenceLimit{30};
// After a cancel request: the store's grace (2 s) and some.
constexpr std::chrono::seconds kCancelledLimit{5};
// How long the destructor waits for the recorder to end by itself.
constexpr std::chrono::seconds kEndWait{5};
constexpr int kPollMs = 50;

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~UniqueFd() { Reset(); }
  int get() const { return fd_; }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// A pipe, both ends close-on-exec and above the standard descriptors (a
// process started without them would otherwise get a pipe end as 0 or 1,
// which dup2 onto itself would leave close-on-exec).
bool MakePipe(UniqueFd& readEnd, UniqueFd& writeEnd, std::string& error) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    error = std::string("no pipe for the recorder process: ") + std::strerror(errno);
    return false;
  }
  for (int& fd : fds) {
    if (fd > 2) continue;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    fd = moved;
  }
  readEnd = UniqueFd(fds[0]);
  writeEnd = UniqueFd(fds[1]);
  if (fds[0] < 0 || fds[1] < 0) {
    error = std::string("no pipe for the recorder process: ") + std::strerror(errno);
    return false;
  }
  return true;
}

// Writes all of `data` to a pipe. A reader that has gone is an error, not
// SIGPIPE for the whole process: the signal is blocked on this thread for
// the write and, when the write raised it, taken.
bool WritePipe(int fd, std::string_view data) {
  sigset_t pipeSet;
  sigset_t old;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
  sigset_t pending;
  sigemptyset(&pending);
  ::sigpending(&pending);
  const bool wasPending = sigismember(&pending, SIGPIPE) == 1;
  bool ok = true;
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      if (errno == EPIPE && !wasPending) {
        const timespec none{};
        while (::sigtimedwait(&pipeSet, nullptr, &none) < 0 && errno == EINTR) {
        }
      }
      break;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return ok;
}

// The recorder process: reaped when it goes, killed when it would not end.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {}
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { Kill(); }

  // Waits up to `limit` for the process to end; its end in words, or
  // nullopt while it still runs.
  std::optional<std::string> Wait(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
      if (pid_ < 0) return status_;
      int status = 0;
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_ || (r < 0 && errno != EINTR)) {
        pid_ = -1;
        if (r < 0) {
          status_ = "";
        } else if (WIFSIGNALED(status)) {
          status_ = " (killed by signal " + std::to_string(WTERMSIG(status)) + ")";
        } else if (WIFEXITED(status)) {
          status_ = " (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
        }
        return status_;
      }
      if (Clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  void Kill() {
    if (pid_ < 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    status_ = " (stopped)";
  }

 private:
  pid_t pid_;
  std::string status_;
};

class RemoteStore final : public RecordStore {
 public:
  RemoteStore(std::string target, UniqueFd toChild, UniqueFd fromChild, pid_t pid)
      : target_(std::move(target)),
        toChild_(std::move(toChild)),
        fromChild_(std::move(fromChild)),
        child_(pid) {}

  ~RemoteStore() override {
    // The end of its input ends the recorder, after the request it serves.
    toChild_.Reset();
    if (!child_.Wait(kEndWait)) child_.Kill();
  }

  bool Open(StoreMode mode, std::string& error) {
    json answer;
    if (!Call({{"op", "open"}, {"target", target_}, {"mode", wire::ModeName(mode)}}, answer,
              error)) {
      return false;
    }
    return Succeeded(answer, error);
  }

  bool ReserveFor(const std::string& series, std::int64_t first, std::int64_t step,
                  const std::string& station, const std::string& attempt, const JobLimit& job,
                  const ChipHexOf& chipHexOf, std::int64_t& number, ReserveRefusal& refusal,
                  std::string& error) override {
    refusal = ReserveRefusal::kNone;
    std::lock_guard lock(mutex_);
    if (!Send(Request("reserve", {{"series", series},
                                  {"first", first},
                                  {"step", step},
                                  {"station", station},
                                  {"attempt", attempt},
                                  {"jobId", job.jobId},
                                  {"limit", job.limit}}),
              error)) {
      return false;
    }
    for (;;) {
      json answer;
      if (!Receive(answer, error)) return false;
      if (!answer.contains("ask")) {
        number = wire::Get<std::int64_t>(answer, "number");
        if (wire::Get<bool>(answer, "exhausted")) refusal = ReserveRefusal::kExhausted;
        if (wire::Get<bool>(answer, "limit")) refusal = ReserveRefusal::kLimit;
        return Succeeded(answer, error);
      }
      // The recorder asks for a number's bytes inside its transaction.
      std::string why;
      const std::optional<std::string> hex =
          chipHexOf(wire::Get<std::int64_t>(answer, "number"), why);
      if (!Send(hex ? json{{"hex", *hex}} : json{{"why", why}}, error)) return false;
    }
  }

  bool Record(const ChipRecord& row, const std::optional<Reservation>& reservation,
              SerialSettle settle, std::string& error) override {
    json r = nullptr;
    if (reservation) {
      r = {{"series", reservation->series},
           {"number", reservation->number},
           {"attempt", reservation->attempt}};
    }
    json answer;
    std::lock_guard lock(mutex_);
    return Call(Request("record", {{"row", wire::RowJson(row)},
                                   {"reservation", r},
                                   {"settle", wire::SettleName(settle)}}),
                answer, error) &&
           Succeeded(answer, error);
  }

  bool ForEachRow(const std::string& since, const std::function<bool(const ChipRecord&)>& visit,
                  std::string& error) override {
    std::lock_guard lock(mutex_);
    if (!Send(Request("rows", {{"since", since}}), error)) return false;
    bool more = true;
    std::string bad;
    json answer;
    for (;;) {
      if (!Receive(answer, error)) return false;
      const auto rows = answer.find("rows");
      if (rows == answer.end()) break;  // the final answer
      if (!rows->is_array()) return Broken("the recorder process sent a malformed answer", error);
      ChipRecord row;
      for (const auto& fields : *rows) {
        if (!more) break;
        if (!wire::RowOf(fields, row, bad)) {
          more = false;
        } else {
          more = visit(row);
        }
      }
      if (!Send({{"more", more}}, error)) return false;
    }
    if (!Succeeded(answer, error)) return false;
    if (!bad.empty()) {
      error = target_ + ": " + bad;
      return false;
    }
    return true;
  }

  bool Unknown(std::vector<UnknownNumber>& numbers, std::string& error) override {
    json answer;
    std::lock_guard lock(mutex_);
    if (!Call(Request("unknown", {}), answer, error) || !Succeeded(answer, error)) return false;
    const auto list = answer.find("numbers");
    if (list == answer.end() || !list->is_array()) return true;
    for (const auto& n : *list) numbers.push_back(wire::UnknownOf(n));
    return true;
  }

  bool SettleUnknown(const std::string& chipHex, const std::string& series, bool release,
                     int& settled, std::string& error) override {
    settled = 0;
    json answer;
    std::lock_guard lock(mutex_);
    if (!Call(Request("settle", {{"hex", chipHex}, {"series", series}, {"release", release}}),
              answer, error)) {
      return false;
    }
    settled = wire::Get<int>(answer, "settled");
    return Succeeded(answer, error);
  }

 private:
  json Request(const char* op, json fields) const {
    fields["op"] = op;
    fields["cancel"] = Cancelled();
    return fields;
  }

  // The final answer's verdict, its error taken over when it failed.
  static bool Succeeded(const json& answer, std::string& error) {
    if (wire::Get<bool>(answer, "ok")) return true;
    error = wire::Get<std::string>(answer, "error", "the recorder process failed");
    return false;
  }

  // One request, one answer.
  bool Call(const json& request, json& answer, std::string& error) {
    return Send(request, error) && Receive(answer, error);
  }

  bool Send(const json& message, std::string& error) {
    if (!broken_.empty()) {
      error = broken_;
      return false;
    }
    if (WritePipe(toChild_.get(), wire::Frame(message))) return true;
    return Ended(error);
  }

  // The next frame from the recorder, waiting at most kSilenceLimit for
  // each piece of it (kCancelledLimit once the cancel flag is up).
  bool Receive(json& message, std::string& error) {
    if (!broken_.empty()) {
      error = broken_;
      return false;
    }
    unsigned char header[4];
    if (!ReadExactly(reinterpret_cast<char*>(header), sizeof header, error)) return false;
    const std::optional<std::size_t> size = wire::FrameSize(header);
    if (!size) return Broken("the recorder process sent an answer longer than allowed", error);
    std::string body(*size, '\0');
    if (!ReadExactly(body.data(), body.size(), error)) return false;
    std::optional<json> parsed = wire::ParseBody(body);
    if (!parsed) return Broken("the recorder process sent a malformed answer", error);
    message = std::move(*parsed);
    return true;
  }

  bool ReadExactly(char* data, std::size_t size, std::string& error) {
    auto lastHeard = Clock::now();
    std::optional<Clock::time_point> cancelled;
    while (size > 0) {
      pollfd p{fromChild_.get(), POLLIN, 0};
      const int r = ::poll(&p, 1, kPollMs);
      if (r < 0 && errno != EINTR) return Ended(error);
      if (r > 0) {
        const ssize_t n = ::read(fromChild_.get(), data, size);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return Ended(error);
        data += n;
        size -= static_cast<std::size_t>(n);
        lastHeard = Clock::now();
        continue;
      }
      const auto now = Clock::now();
      if (!cancelled && Cancelled()) {
        // The recorder's store ends its waits, as in process.
        cancelled = now;
        if (!WritePipe(toChild_.get(), wire::Frame({{"op", "cancel"}}))) return Ended(error);
      }
      if ((cancelled && now - std::max(*cancelled, lastHeard) >= kCancelledLimit) ||
          now - lastHeard >= kSilenceLimit) {
        return Broken("the recorder process does not answer; it was stopped", error);
      }
    }
    return true;
  }

  // The recorder ended (its pipe closed): this and every later call fail.
  bool Ended(std::string& error) {
    std::optional<std::string> status = child_.Wait(std::chrono::milliseconds(1000));
    if (!status) {
      child_.Kill();
      status = "";
    }
    broken_ = target_ + ": the recorder process ended" + *status +
              "; nothing more is written to the record";
    error = broken_;
    return false;
  }

  // The exchange cannot go on: the recorder is stopped, every later call fails.
  bool Broken(const std::string& why, std::string& error) {
    child_.Kill();
    broken_ = target_ + ": " + why + "; nothing more is written to the record";
    error = broken_;
    return false;
  }

  const std::string target_;
  std::mutex mutex_;
  UniqueFd toChild_;
  UniqueFd fromChild_;
  Child child_;
  std::string broken_;  // why the recorder can no longer be used
};

}  // namespace

std::unique_ptr<RecordStore> OpenRemoteStore(const std::string& serverExe,
                                             const std::vector<std::string>& serverArgs,
                                             const std::string& target, StoreMode mode,
                                             std::string& error) {
  UniqueFd childIn, toChild, fromChild, childOut;
  if (!MakePipe(childIn, toChild, error) || !MakePipe(fromChild, childOut, error)) return nullptr;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, childIn.get(), 0);
  posix_spawn_file_actions_adddup2(&actions, childOut.get(), 1);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // A process group of its own: Ctrl+C in a terminal is for the desktop
  // program, which ends the recorder by closing the pipe.
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> args{serverExe};
  args.insert(args.end(), serverArgs.begin(), serverArgs.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, serverExe.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    error =
        target + ": the recorder process " + serverExe + " cannot be started: " + std::strerror(rc);
    return nullptr;
  }
  childIn.Reset();
  childOut.Reset();
  auto store = std::make_unique<RemoteStore>(target, std::move(toChild), std::move(fromChild), pid);
  if (!store->Open(mode, error)) return nullptr;
  return store;
}

}  // namespace velkan::production

#else  // _WIN32: file locks belong to handles there; the store stays in process.

namespace velkan::production {

std::unique_ptr<RecordStore> OpenRemoteStore(const std::string&, const std::vector<std::string>&,
                                             const std::string& target, StoreMode,
                                             std::string& error) {
  error = target + ": no recorder process on this system";
  return nullptr;
}

}  // namespace velkan::production

#endif
