// POSIX: fork and exec of /bin/sh -c COMMAND in a process group of its own
// (a timeout kills the shell and whatever it started). Its stdin is one end
// of a socket pair, so a command that exits without reading its input does
// not raise SIGPIPE here (send with MSG_NOSIGNAL).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "production/child_process.h"

extern char** environ;

namespace velkan::production {

namespace {

constexpr std::size_t kErrorOutputLimit = 4096;

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Close(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void Reset(int fd) {
    Close();
    fd_ = fd;
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// The child, killed (its whole group) and reaped unless it was waited for.
class Child {
 public:
  ~Child() {
    if (pid_ > 0) {
      Kill();
      Wait();
    }
  }
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  void Set(pid_t pid) { pid_ = pid; }
  void Kill() const {
    if (pid_ > 0) ::kill(-pid_, SIGKILL);
  }
  // The exit code, -1 for a signal.
  int Wait() {
    int status = 0;
    pid_t done;
    do {
      done = ::waitpid(pid_, &status, 0);
    } while (done < 0 && errno == EINTR);
    pid_ = -1;
    if (done < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
};

std::string ErrnoText(int e) {
  return std::strerror(e);
}

}  // namespace

bool ChildProcessesAvailable() {
  return true;
}

bool RunChild(const ChildRequest& request, ChildResult& result, std::string& error) {
  result = {};
  // Everything the child needs is made before the fork: after it, only
  // async-signal-safe calls.
  std::vector<std::string> envText;
  for (const auto& [name, value] : request.environment) envText.push_back(name + "=" + value);
  std::vector<char*> env;
  for (char** e = environ; e && *e; ++e) {
    bool replaced = false;
    for (const auto& [name, value] : request.environment) {
      (void)value;
      if (std::strncmp(*e, name.c_str(), name.size()) == 0 && (*e)[name.size()] == '=') {
        replaced = true;
      }
    }
    if (!replaced) env.push_back(*e);
  }
  for (std::string& text : envText) env.push_back(text.data());
  env.push_back(nullptr);
  std::string command = request.command;
  char shell[] = "/bin/sh";
  char dashC[] = "-c";
  char* argv[] = {shell, dashC, command.data(), nullptr};

  int in[2], out[2], err[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0) {
    error = "cannot make a pipe: " + ErrnoText(errno);
    return false;
  }
  Fd inParent(in[0]), inChild(in[1]);
  if (::pipe2(out, O_CLOEXEC) != 0) {
    error = "cannot make a pipe: " + ErrnoText(errno);
    return false;
  }
  Fd outParent(out[0]), outChild(out[1]);
  if (::pipe2(err, O_CLOEXEC) != 0) {
    error = "cannot make a pipe: " + ErrnoText(errno);
    return false;
  }
  Fd errParent(err[0]), errChild(err[1]);

  Child child;
  const pid_t pid = ::fork();
  if (pid < 0) {
    error = "cannot start " + request.command + ": " + ErrnoText(errno);
    return false;
  }
  if (pid == 0) {
    ::setpgid(0, 0);
    ::signal(SIGPIPE, SIG_DFL);
    if (::dup2(inChild.get(), 0) < 0 || ::dup2(outChild.get(), 1) < 0 ||
        ::dup2(errChild.get(), 2) < 0) {
      ::_exit(127);
    }
    ::execve(shell, argv, env.data());
    ::_exit(127);
  }
  ::setpgid(pid, pid);  // as the child does: whichever runs first
  child.Set(pid);
  inChild.Close();
  outChild.Close();
  errChild.Close();

  const auto deadline = std::chrono::steady_clock::now() + request.timeout;
  std::size_t written = 0;
  if (request.input.empty()) inParent.Close();
  bool outOpen = true, errOpen = true;
  char buffer[4096];
  while (outOpen || errOpen) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timedOut = true;
      child.Kill();
      break;
    }
    pollfd fds[3] = {{outOpen ? outParent.get() : -1, POLLIN, 0},
                     {errOpen ? errParent.get() : -1, POLLIN, 0},
                     {inParent.get(), POLLOUT, 0}};
    const int ready = ::poll(fds, 3, static_cast<int>(std::min<long long>(left.count(), 1000)));
    if (ready < 0) {
      if (errno == EINTR) continue;
      error = "cannot wait for " + request.command + ": " + ErrnoText(errno);
      child.Kill();
      return false;
    }
    if (fds[2].revents & (POLLOUT | POLLERR | POLLHUP)) {
      const ssize_t n = ::send(inParent.get(), request.input.data() + written,
                               request.input.size() - written, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) written += static_cast<std::size_t>(n);
      if (n < 0 && errno != EAGAIN && errno != EINTR) written = request.input.size();
      if (written >= request.input.size()) inParent.Close();
    }
    for (int i = 0; i < 2; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLERR | POLLHUP))) continue;
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        (i == 0 ? outOpen : errOpen) = false;
        continue;
      }
      std::string& into = i == 0 ? result.output : result.errorOutput;
      const std::size_t limit = i == 0 ? request.outputLimit : kErrorOutputLimit;
      const std::size_t keep =
          std::min<std::size_t>(static_cast<std::size_t>(n), limit - std::min(limit, into.size()));
      into.append(buffer, keep);
      if (i == 0 && keep < static_cast<std::size_t>(n)) {
        result.outputTooLong = true;
        child.Kill();
        outOpen = errOpen = false;
      }
    }
  }
  // The output has ended (or the child was killed): its exit status. A
  // child that closed its output but lives on is killed at the deadline.
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      child.Set(-1);
      result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      break;
    }
    if (done < 0 && errno != EINTR) {
      child.Set(-1);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      result.timedOut = true;
      child.Kill();
      result.exitCode = -1;
      child.Wait();
      break;
    }
    ::usleep(2000);
  }
  if (result.timedOut || result.outputTooLong) result.exitCode = -1;
  return true;
}

}  // namespace velkan::production
