// A sealed production job (.vjob): the HEX file's bytes, the fuse choice,
// the serial plan, the per-chip data settings, the count limit, a name and
// notes, in one JSON file. The job's id is the SHA-256 of its canonical
// content (the object without "id" and "signature", keys sorted, no
// spaces); a file whose content no longer gives its id was edited. A
// signature (Ed25519, job_signing.h) covers the canonical content.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "production/job.h"

namespace velkan::production {

// The format's name and version, the file's "format" member.
inline constexpr const char* kJobFormat = "velkan-job/1";

struct JobSignature {
  std::string algorithm = "ed25519";
  std::string publicKey;  // 32 bytes, lower-case hex
  std::string value;      // 64 bytes, lower-case hex
};

struct SealedJob {
  std::string name;
  std::string notes;
  std::string hexName;  // the HEX file's name without its folder
  std::string hexText;  // the HEX file's bytes (ASCII)
  bool fuse = false;
  // The serial plan, as the produce options give it (empty serialAt: none).
  std::string serialAt;
  std::string serialStart;
  std::int64_t serialStep = 1;
  int serialBytes = 4;
  std::string serialFormat = "be";
  std::string serialFileName;  // a file plan: the file's name and its lines
  std::string serialFileText;
  bool serialBurnFailed = false;
  // The per-chip data generator (empty: none) and how long one call may take.
  std::string chipData;
  std::int64_t chipDataTimeoutMs = 10000;
  std::int64_t countLimit = 0;  // passed chips of the job over all stations; 0: no limit
  std::optional<JobSignature> signature;
};

// The bytes the id and the signature are made of.
std::string CanonicalContent(const SealedJob& job);
// SHA-256 of the canonical content, lower-case hex.
std::string JobIdOf(const SealedJob& job);
// The file's text: the content, its id and the signature (if any).
std::string JobFileText(const SealedJob& job);
// Why a job file is refused (JobCheck::kOk: it is not).
enum class JobCheck {
  kOk,
  kUnreadable,  // the file cannot be read
  kNotAJob,     // no job file of this format
  kEdited,      // its content does not give its id: changed after it was made
  kAlgorithm,   // signed with an algorithm this version cannot check
  kSignature,   // the signature does not hold: changed after it was signed
  kTrustedKey,  // the trusted key cannot be read
  kUnsigned,    // a trusted key is set and the job is not signed
  kOtherKey,    // signed, but by another key than the trusted one
  kAbsent,      // a signature or a trusted key in a build without signing
};

// Reads a job file's text; false with `error` when it is no job file of
// this format or its content does not give its id (edited after it was made).
// `check` (when given) tells which of the two.
bool ParseJobFile(std::string_view text, SealedJob& job, std::string& error,
                  JobCheck* check = nullptr);
// The same from a file (UTF-8 path; `error` names it).
bool ReadJobFile(const std::string& path, SealedJob& job, std::string& error,
                 JobCheck* check = nullptr);
// The one check of a job before it is run or shown as runnable (the command
// line's `produce --job`, `job verify` and the desktop page): the file is
// read, its content gives its id, a signature it carries holds, and with
// `trustedKeyPath` (not empty) it is signed by that key. kOk with `job`, or
// the refusal with `error` (English, naming the file).
JobCheck CheckJobFile(const std::string& path, const std::string& trustedKeyPath, SealedJob& job,
                      std::string& error);
// Writes `job` to `path` (replacing it); false with `error`.
bool WriteJobFile(const std::string& path, const SealedJob& job, std::string& error);

// The job's settings as a request (serial plan, chip data, limit, the job's
// id); the station's own settings in `request` (record, next chip, count)
// stay.
void ApplySealedJob(const SealedJob& job, JobRequest& request);
// The job's content from a checked request and the files' bytes; false
// with `error` when a file holds bytes a job cannot keep (not ASCII).
bool SealRequest(const JobRequest& request, const std::string& hexText,
                 const std::string& serialFileText, SealedJob& job, std::string& error);

}  // namespace velkan::production
