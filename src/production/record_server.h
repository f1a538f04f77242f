// The recorder process: a record store served over a pair of pipes, so that
// the store's file is open in a process where no other code (file dialogs,
// file type sniffing, thumbnailers) can open and close it. POSIX advisory
// locks belong to the process and all go when any descriptor of the file is
// closed; in a process of its own, SQLite's locks stay where SQLite put them.
//
// The exchange: frames of a 4-byte big-endian length and that many bytes of
// one JSON object, at most kMaxFrameBytes (record_wire.h). The first request opens the store;
// each later one gets answer frames until one with "ok". Requests:
//   {"op":"open","target":T,"mode":"create"|"write"|"read"}
//   {"op":"reserve","series","first","step","station","attempt"}
//       the server asks {"ask":"hex","number":N} for each number it means to
//       reserve; the client answers {"hex":H} or {"why":W} (no such number)
//   {"op":"record","row":[fields],"reservation":{series,number,attempt}|null,
//    "settle":"used"|"released"|"burnt"}
//   {"op":"rows","since":S}: answers {"rows":[[fields]...]} chunks, each
//       followed by the client's {"more":true|false}, then {"ok"...}
//   {"op":"unknown"}, {"op":"settle","hex","series","release"}
//   {"op":"cancel"}: no answer; ends the store's waits in the request now
//       served (every request also carries "cancel": the client's flag).
// Final answers carry "ok", and "error" when false (reserve: "number",
// "exhausted"; unknown: "numbers"; settle: "settled").
#pragma once

namespace velkan::production {

// The first argument of the desktop program that makes it the recorder.
inline constexpr const char* kRecordServerArgument = "--record-server";

// Serves one store: requests from `inFd`, answers to `outFd`, until the
// input ends (the client closed it or died); the request in progress is
// finished first. 0 when the input ended, 2 on a malformed or oversized
// frame (answered with an error, then the server ends).
int ServeRecordStore(int inFd, int outFd);

// The recorder's main: inherited descriptors beyond the standard three
// closed, terminal signals left to the client, then ServeRecordStore(0, 1).
int RecordServerMain();

}  // namespace velkan::production
