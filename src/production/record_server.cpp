// The recorder process (record_server.h): one thread reads the client's
// frames (a cancel takes effect at once, even while a request is served),
// the main thread serves the requests one after the other.
#include "production/record_server.h"

#include "production/record_wire.h"

#if !defined(_WIN32)

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace velkan::production {

namespace {

using nlohmann::json;

// More requests than a client that waits for each answer ever has queued.
constexpr std::size_t kMaxQueued = 64;

// Writes all of `data`; false when the reader has gone.
bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Reads exactly `size` bytes; false at the input's end or on an error.
bool ReadAll(int fd, char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::read(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// The client's messages, read on a thread of their own.
class Inbox {
 public:
  Inbox(int fd, std::atomic<bool>& cancel) : fd_(fd), cancel_(cancel) {}

  void Read() {
    for (;;) {
      unsigned char header[4];
      if (!ReadAll(fd_, reinterpret_cast<char*>(header), sizeof header)) return End({});
      const std::optional<std::size_t> size = wire::FrameSize(header);
      if (!size) return End("a frame longer than the recorder takes");
      std::string body(*size, '\0');
      if (!ReadAll(fd_, body.data(), body.size())) return End({});
      std::optional<json> message = wire::ParseBody(body);
      if (!message) return End("a frame that is no JSON object");
      const std::string op = wire::Get<std::string>(*message, "op");
      if (op == "cancel") {
        cancel_.store(true, std::memory_order_release);
        continue;
      }
      // A request brings the client's cancel flag as it is now, in order
      // with the cancel messages.
      if (!op.empty()) {
        cancel_.store(wire::Get<bool>(*message, "cancel"), std::memory_order_release);
      }
      std::lock_guard lock(mutex_);
      if (queue_.size() >= kMaxQueued) {
        ended_ = true;
        refused_ = "more requests than the recorder queues";
        changed_.notify_all();
        return;
      }
      queue_.push_back(std::move(*message));
      changed_.notify_all();
    }
  }

  // The next message; nullopt once the input has ended (or was refused)
  // and every message before was taken.
  std::optional<json> Next() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return ended_ || !queue_.empty(); });
    if (queue_.empty()) return std::nullopt;
    json message = std::move(queue_.front());
    queue_.pop_front();
    return message;
  }

  std::string Refused() {
    std::lock_guard lock(mutex_);
    return refused_;
  }

 private:
  void End(std::string refused) {
    std::lock_guard lock(mutex_);
    ended_ = true;
    refused_ = std::move(refused);
    changed_.notify_all();
  }

  int fd_;
  std::atomic<bool>& cancel_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<json> queue_;
  bool ended_ = false;
  std::string refused_;
};

class Server {
 public:
  Server(int outFd, Inbox& inbox, std::atomic<bool>& cancel)
      : outFd_(outFd), inbox_(inbox), cancel_(cancel) {}

  void Serve(const json& request) {
    const std::string op = wire::Get<std::string>(request, "op");
    if (op == "open") return Open(request);
    if (!store_) {
      Answer(Failure(op.empty() ? "an answer where a request was expected" : "no record is open"));
      return;
    }
    if (op == "reserve") return Reserve(request);
    if (op == "record") return Record(request);
    if (op == "rows") return Rows(request);
    if (op == "unknown") return Unknown();
    if (op == "settle") return Settle(request);
    Answer(Failure("the recorder knows no request \"" + op + "\""));
  }

  bool Answer(const json& message) { return WriteAll(outFd_, wire::Frame(message)); }

 private:
  static json Failure(const std::string& error) { return {{"ok", false}, {"error", error}}; }

  void Open(const json& request) {
    if (store_) return (void)Answer(Failure("the recorder has a record open already"));
    const std::optional<StoreMode> mode = wire::ModeOf(wire::Get<std::string>(request, "mode"));
    if (!mode) return (void)Answer(Failure("the recorder knows no such mode"));
    std::string error;
    store_ = OpenRecordStore(wire::Get<std::string>(request, "target"), *mode, error);
    if (!store_) return (void)Answer(Failure(error));
    store_->SetCancel(&cancel_);
    Answer({{"ok", true}});
  }

  void Reserve(const json& request) {
    // The bytes of a number are the client's to say: asked for each number
    // before it is written, in the reservation's transaction.
    const auto chipHexOf = [&](std::int64_t number,
                               std::string& why) -> std::optional<std::string> {
      if (!Answer({{"ask", "hex"}, {"number", number}})) {
        why = "the desktop program has gone";
        return std::nullopt;
      }
      const std::optional<json> reply = inbox_.Next();
      if (!reply) {
        why = "the desktop program has gone";
        return std::nullopt;
      }
      if (reply->contains("hex")) return wire::Get<std::string>(*reply, "hex");
      why = wire::Get<std::string>(*reply, "why", "no such serial number");
      return std::nullopt;
    };
    std::int64_t number = 0;
    ReserveRefusal refusal = ReserveRefusal::kNone;
    std::string error;
    const JobLimit job{wire::Get<std::string>(request, "jobId"),
                       wire::Get<std::int64_t>(request, "limit", 0)};
    const bool ok = store_->ReserveFor(
        wire::Get<std::string>(request, "series"), wire::Get<std::int64_t>(request, "first"),
        wire::Get<std::int64_t>(request, "step", 1), wire::Get<std::string>(request, "station"),
        wire::Get<std::string>(request, "attempt"), job, chipHexOf, number, refusal, error);
    Answer({{"ok", ok},
            {"number", number},
            {"exhausted", refusal == ReserveRefusal::kExhausted},
            {"limit", refusal == ReserveRefusal::kLimit},
            {"error", error}});
  }

  void Record(const json& request) {
    ChipRecord row;
    std::string error;
    const auto rowIt = request.find("row");
    if (rowIt == request.end() || !wire::RowOf(*rowIt, row, error)) {
      return (void)Answer(Failure("the recorder got a malformed row: " + error));
    }
    std::optional<Reservation> reservation;
    const auto r = request.find("reservation");
    if (r != request.end() && r->is_object()) {
      reservation =
          Reservation{wire::Get<std::string>(*r, "series"), wire::Get<std::int64_t>(*r, "number"),
                      wire::Get<std::string>(*r, "attempt")};
    }
    const std::optional<SerialSettle> settle =
        wire::SettleOf(wire::Get<std::string>(request, "settle"));
    if (!settle) return (void)Answer(Failure("the recorder knows no such settling"));
    const bool ok = store_->Record(row, reservation, *settle, error);
    Answer({{"ok", ok}, {"error", error}});
  }

  // Chunks of rows, each answered by the client: more, or enough.
  void Rows(const json& request) {
    json chunk = json::array();
    std::size_t bytes = 0;  // at most what the chunk's frame takes
    bool more = true;
    bool tooLong = false;
    const auto send = [&] {
      const std::string frame = wire::Frame({{"rows", chunk}});
      chunk = json::array();
      bytes = 0;
      if (frame.size() - 4 > wire::kMaxFrameBytes) {
        tooLong = true;
        return false;
      }
      if (!WriteAll(outFd_, frame)) return false;
      const std::optional<json> reply = inbox_.Next();
      return reply && wire::Get<bool>(*reply, "more");
    };
    std::string error;
    const bool ok = store_->ForEachRow(
        wire::Get<std::string>(request, "since"),
        [&](const ChipRecord& row) {
          json fields = wire::RowJson(row);
          // A character takes at most six bytes in JSON (\u0001).
          for (const auto& f : fields) {
            bytes += 8 + (f.is_string() ? 6 * f.get_ref<const std::string&>().size() : 0);
          }
          chunk.push_back(std::move(fields));
          if (chunk.size() >= wire::kRowsPerFrame || bytes >= wire::kMaxFrameBytes / 2) {
            more = send();
          }
          return more;
        },
        error);
    if (more && !chunk.empty()) send();  // the rows before a failure, as in process
    if (tooLong) return (void)Answer(Failure("a row too long for the recorder to pass on"));
    Answer({{"ok", ok}, {"error", error}});
  }

  void Unknown() {
    std::vector<UnknownNumber> numbers;
    std::string error;
    const bool ok = store_->Unknown(numbers, error);
    json list = json::array();
    for (const auto& n : numbers) list.push_back(wire::UnknownJson(n));
    Answer({{"ok", ok}, {"numbers", list}, {"error", error}});
  }

  void Settle(const json& request) {
    int settled = 0;
    std::string error;
    const bool ok = store_->SettleUnknown(wire::Get<std::string>(request, "hex"),
                                          wire::Get<std::string>(request, "series"),
                                          wire::Get<bool>(request, "release"), settled, error);
    Answer({{"ok", ok}, {"settled", settled}, {"error", error}});
  }

  int outFd_;
  Inbox& inbox_;
  std::atomic<bool>& cancel_;
  std::unique_ptr<RecordStore> store_;
};

}  // namespace

int ServeRecordStore(int inFd, int outFd) {
  // An answer to a client that has gone fails; it does not end the server
  // in the middle of a transaction.
  ::signal(SIGPIPE, SIG_IGN);
  std::atomic<bool> cancel{false};
  Inbox inbox(inFd, cancel);
  std::jthread reader([&] { inbox.Read(); });
  Server server(outFd, inbox, cancel);
  while (const std::optional<json> request = inbox.Next()) server.Serve(*request);
  reader.join();
  const std::string refused = inbox.Refused();
  if (refused.empty()) return 0;
  server.Answer({{"ok", false}, {"error", "the recorder refused " + refused}});
  return 2;
}

int RecordServerMain() {
  // Nothing of the desktop program's files stays open here.
  ::close_range(3, ~0u, 0);
  // Ctrl+C and a closed terminal are the desktop program's to handle: the
  // recorder ends when its client closes the pipe, after the request in
  // progress.
  ::signal(SIGINT, SIG_IGN);
  ::signal(SIGHUP, SIG_IGN);
  return ServeRecordStore(0, 1);
}

}  // namespace velkan::production

#else  // _WIN32: the desktop program keeps its record in process there.

namespace velkan::production {

int ServeRecordStore(int, int) {
  return 2;
}

int RecordServerMain() {
  return 2;
}

}  // namespace velkan::production

#endif
