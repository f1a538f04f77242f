#include "production/job_file.h"

#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>

#include "common/codepage.h"
#include "common/input_file.h"
#include "common/sha256.h"
#include "production/job_signing.h"
#include "production/production.h"

namespace velkan::production {

namespace {

using nlohmann::json;

// HEX and serial files larger than this are no job's.
constexpr std::size_t kMaxJobFile = std::size_t{64} << 20;

json ContentJson(const SealedJob& j) {
  json serial = nullptr;
  if (!j.serialAt.empty()) {
    serial = {{"at", j.serialAt}, {"burnFailed", j.serialBurnFailed}};
    if (!j.serialFileName.empty()) {
      serial["file"] = {{"name", j.serialFileName}, {"text", j.serialFileText}};
    } else {
      serial["counter"] = {{"start", j.serialStart},
                           {"step", j.serialStep},
                           {"bytes", j.serialBytes},
                           {"format", j.serialFormat}};
    }
  }
  json chipData = nullptr;
  if (!j.chipData.empty()) {
    chipData = {{"command", j.chipData}, {"timeoutMs", j.chipDataTimeoutMs}};
  }
  return {{"format", kJobFormat}, {"name", j.name},
          {"notes", j.notes},     {"hex", {{"name", j.hexName}, {"text", j.hexText}}},
          {"fuse", j.fuse},       {"serial", serial},
          {"chipData", chipData}, {"countLimit", j.countLimit}};
}

bool Ascii(const std::string& text) {
  for (unsigned char c : text) {
    if (c >= 0x80 || (c < 0x20 && c != '\n' && c != '\r' && c != '\t')) return false;
  }
  return true;
}

template <typename T>
bool Field(const json& object, const char* key, T& out, std::string& error) {
  const auto it = object.find(key);
  if (it == object.end()) {
    error = std::string("no \"") + key + "\"";
    return false;
  }
  try {
    out = it->get<T>();
  } catch (const json::exception&) {
    error = std::string("\"") + key + "\" has the wrong type";
    return false;
  }
  return true;
}

}  // namespace

std::string CanonicalContent(const SealedJob& job) {
  // nlohmann::json keeps object keys sorted: the dump is canonical.
  return ContentJson(job).dump();
}

std::string JobIdOf(const SealedJob& job) {
  return Sha256Hex(CanonicalContent(job));
}

std::string JobFileText(const SealedJob& job) {
  json j = ContentJson(job);
  j["id"] = JobIdOf(job);
  if (job.signature) {
    j["signature"] = {{"algorithm", job.signature->algorithm},
                      {"publicKey", job.signature->publicKey},
                      {"value", job.signature->value}};
  }
  return j.dump(2) + "\n";
}

bool ParseJobFile(std::string_view text, SealedJob& job, std::string& error, JobCheck* check) {
  if (check != nullptr) *check = JobCheck::kNotAJob;
  const json j = json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    error = "not a job file (no JSON object)";
    return false;
  }
  std::string format;
  if (!Field(j, "format", format, error) || format != kJobFormat) {
    error = "not a job file of this version (format " + std::string(kJobFormat) + ")";
    return false;
  }
  SealedJob out;
  json hex, serial, chipData;
  std::string id;
  if (!Field(j, "name", out.name, error) || !Field(j, "notes", out.notes, error) ||
      !Field(j, "hex", hex, error) || !Field(hex, "name", out.hexName, error) ||
      !Field(hex, "text", out.hexText, error) || !Field(j, "fuse", out.fuse, error) ||
      !Field(j, "countLimit", out.countLimit, error) || !Field(j, "id", id, error)) {
    error = "not a valid job file: " + error;
    return false;
  }
  if (const auto s = j.find("serial"); s != j.end() && !s->is_null()) {
    json file, counter;
    if (!Field(*s, "at", out.serialAt, error) ||
        !Field(*s, "burnFailed", out.serialBurnFailed, error)) {
      error = "not a valid job file: serial: " + error;
      return false;
    }
    if (s->contains("file")) {
      if (!Field(*s, "file", file, error) || !Field(file, "name", out.serialFileName, error) ||
          !Field(file, "text", out.serialFileText, error)) {
        error = "not a valid job file: serial file: " + error;
        return false;
      }
    } else if (!Field(*s, "counter", counter, error) ||
               !Field(counter, "start", out.serialStart, error) ||
               !Field(counter, "step", out.serialStep, error) ||
               !Field(counter, "bytes", out.serialBytes, error) ||
               !Field(counter, "format", out.serialFormat, error)) {
      error = "not a valid job file: serial counter: " + error;
      return false;
    }
  }
  if (const auto c = j.find("chipData"); c != j.end() && !c->is_null()) {
    if (!Field(*c, "command", out.chipData, error) ||
        !Field(*c, "timeoutMs", out.chipDataTimeoutMs, error)) {
      error = "not a valid job file: chipData: " + error;
      return false;
    }
  }
  if (const auto s = j.find("signature"); s != j.end() && !s->is_null()) {
    JobSignature signature;
    if (!Field(*s, "algorithm", signature.algorithm, error) ||
        !Field(*s, "publicKey", signature.publicKey, error) ||
        !Field(*s, "value", signature.value, error)) {
      error = "not a valid job file: signature: " + error;
      return false;
    }
    out.signature = std::move(signature);
  }
  // Members this version does not know would not be in the id: refused.
  for (const auto& [key, value] : j.items()) {
    (void)value;
    if (!ContentJson(out).contains(key) && key != "id" && key != "signature") {
      error = "not a job file of this version (member \"" + key + "\")";
      return false;
    }
  }
  if (JobIdOf(out) != id) {
    if (check != nullptr) *check = JobCheck::kEdited;
    error = "the job file was changed after it was made: its content does not give its id " + id;
    return false;
  }
  if (check != nullptr) *check = JobCheck::kOk;
  job = std::move(out);
  return true;
}

bool ReadJobFile(const std::string& path, SealedJob& job, std::string& error, JobCheck* check) {
  InputFileOptions options;
  options.limit = 3 * kMaxJobFile;
  std::string text;
  if (const InputFileError e = ReadInputFile(PathFromUtf8(path), options, text);
      e != InputFileError::kNone) {
    if (check != nullptr) *check = JobCheck::kUnreadable;
    error = Printable(path) + ": " + InputFileErrorText(e, options);
    return false;
  }
  if (!ParseJobFile(text, job, error, check)) {
    error = Printable(path) + ": " + error;
    return false;
  }
  return true;
}

JobCheck CheckJobFile(const std::string& path, const std::string& trustedKeyPath, SealedJob& job,
                      std::string& error) {
  JobCheck check = JobCheck::kOk;
  if (!ReadJobFile(path, job, error, &check)) return check;
  std::string trusted;
  if (!trustedKeyPath.empty() && !ReadPublicKey(trustedKeyPath, trusted, error)) {
    return SigningAvailable() ? JobCheck::kTrustedKey : JobCheck::kAbsent;
  }
  if (!job.signature) {
    if (!trusted.empty()) {
      error = Printable(path) +
              ": the job is not signed; with --trusted-key only jobs signed by "
              "that key run";
      return JobCheck::kUnsigned;
    }
    return JobCheck::kOk;
  }
  if (job.signature->algorithm != "ed25519") {
    error = Printable(path) + ": the job is signed with " + Printable(job.signature->algorithm) +
            ", which this version cannot check";
    return JobCheck::kAlgorithm;
  }
  if (!SigningAvailable()) {
    error = Printable(path) + ": " + kSigningAbsent;
    return JobCheck::kAbsent;
  }
  if (!VerifyMessage(CanonicalContent(job), job.signature->publicKey, job.signature->value,
                     error)) {
    error = Printable(path) + ": the job's signature does not hold (" + error +
            "): the job was changed after it was signed";
    return JobCheck::kSignature;
  }
  if (!trusted.empty() && job.signature->publicKey != trusted) {
    error = Printable(path) + ": the job is signed by another key than the trusted one (" +
            job.signature->publicKey + ")";
    return JobCheck::kOtherKey;
  }
  return JobCheck::kOk;
}

bool WriteJobFile(const std::string& path, const SealedJob& job, std::string& error) {
  std::ofstream out(PathFromUtf8(path), std::ios::binary | std::ios::trunc);
  const std::string text = JobFileText(job);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  if (!out) {
    error = Printable(path) + ": cannot be written";
    return false;
  }
  return true;
}

void ApplySealedJob(const SealedJob& job, JobRequest& r) {
  r.hexPath = job.hexName;
  r.fuse = job.fuse;
  r.serialAt = job.serialAt;
  r.serialCounter = !job.serialAt.empty() && job.serialFileName.empty();
  r.serialStart = job.serialStart;
  r.serialStep = job.serialStep;
  r.serialBytes = job.serialBytes;
  r.serialFormat = job.serialFormat;
  r.serialFile = job.serialFileName;
  r.serialFileText.reset();
  if (!job.serialFileName.empty()) r.serialFileText = job.serialFileText;
  r.serialBurnFailed = job.serialBurnFailed;
  r.chipData = job.chipData;
  r.chipDataTimeoutMs = job.chipDataTimeoutMs;
  r.countLimit = job.countLimit;
  r.jobId = JobIdOf(job);
}

bool SealRequest(const JobRequest& r, const std::string& hexText, const std::string& serialFileText,
                 SealedJob& job, std::string& error) {
  if (!Ascii(hexText)) {
    error = Printable(r.hexPath) + ": the HEX file holds bytes that are not ASCII text";
    return false;
  }
  if (!Ascii(serialFileText)) {
    error = Printable(r.serialFile) + ": the serial file holds bytes that are not ASCII text";
    return false;
  }
  job.hexName = BaseName(r.hexPath);
  job.hexText = hexText;
  job.fuse = r.fuse;
  job.serialAt = r.serialAt;
  job.serialStart = r.serialStart;
  job.serialStep = r.serialStep;
  job.serialBytes = r.serialBytes;
  job.serialFormat = r.serialFormat;
  if (!r.serialFile.empty()) {
    job.serialFileName = BaseName(r.serialFile);
    job.serialFileText = serialFileText;
  }
  job.serialBurnFailed = r.serialBurnFailed;
  job.chipData = r.chipData;
  job.chipDataTimeoutMs = r.chipDataTimeoutMs;
  job.countLimit = r.countLimit;
  job.signature.reset();
  return true;
}

}  // namespace velkan::production
