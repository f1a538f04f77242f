// The record store of a recorder process (record_server.h): every call is
// forwarded over a pipe to a child process that owns the store's connection,
// so the store's file is never open in the calling process.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "production/record_store.h"

namespace velkan::production {

// Starts `serverExe` with `serverArgs` (a program that serves the store on
// its standard input and output: ServeRecordStore(0, 1)) and opens `target`
// there in `mode`. nullptr with `error` (the store's own message when the
// record cannot be opened) on failure.
//
// The store is safe to call from several threads (one request at a time).
// A recorder that ended or stopped answering fails every later call with a
// message saying so; the cancel flag ends a wait on the recorder after a
// short grace. The destructor closes the pipe and waits a few seconds for
// the recorder to finish, then kills it.
std::unique_ptr<RecordStore> OpenRemoteStore(const std::string& serverExe,
                                             const std::vector<std::string>& serverArgs,
                                             const std::string& target, StoreMode mode,
                                             std::string& error);

}  // namespace velkan::production
