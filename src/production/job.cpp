#include "production/job.h"

#include "common/codepage.h"
#include "common/input_file.h"

namespace velkan::production {

namespace {

std::optional<Job> Refuse(JobProblem& problem, JobError kind, std::string text) {
  problem.kind = kind;
  problem.text = std::move(text);
  return std::nullopt;
}

JobError ErrorOf(SerialField field) {
  switch (field) {
    case SerialField::kAddress:
      return JobError::kSerialAddress;
    case SerialField::kStart:
      return JobError::kSerialStart;
    case SerialField::kStep:
      return JobError::kSerialStep;
    case SerialField::kBytes:
      return JobError::kSerialBytes;
    case SerialField::kFormat:
      return JobError::kSerialFormat;
    case SerialField::kFile:
      return JobError::kSerialFile;
  }
  return JobError::kSerialFormat;
}

}  // namespace

std::optional<Job> BuildJob(const JobRequest& r, const std::string& toolVersion,
                            JobProblem& problem) {
  problem = {};
  Job job;
  if (r.hexPath.empty()) return Refuse(problem, JobError::kNoHexFile, "no HEX file given");
  if (r.log.empty()) return Refuse(problem, JobError::kNoLog, "--log: no record given");
  if (r.next == "auto") {
    job.settings.next = NextChip::kAuto;
  } else if (r.next == "probe") {
    job.settings.next = NextChip::kProbe;
  } else if (r.next == "enter") {
    job.settings.next = NextChip::kManual;
  } else {
    return Refuse(problem, JobError::kNext, "--next " + r.next + ": enter, auto or probe");
  }
  if (r.count < 0) return Refuse(problem, JobError::kCount, "--count: 0 or more");
  if (r.stopAfterFailures < 0) {
    return Refuse(problem, JobError::kStopAfterFailures, "--stop-after-failures: 0 or more");
  }
  job.settings.count = r.count;
  job.settings.stopAfterFailures = r.stopAfterFailures;
  job.settings.toolVersion = toolVersion;

  const bool counter = r.serialCounter || !r.serialStart.empty();
  const bool file = !r.serialFile.empty();
  if (counter && file) {
    return Refuse(problem, JobError::kSerialChoice, "--serial-file and --serial-start: choose one");
  }
  if ((counter || file) && r.serialAt.empty()) {
    return Refuse(problem, JobError::kSerialAtMissing, "serial numbers need --serial-at ADDR");
  }
  if (!r.serialAt.empty() && !counter && !file) {
    return Refuse(problem, JobError::kSerialMissing,
                  "--serial-at needs --serial-start or --serial-file");
  }
  if (counter) {
    SerialPlan plan;
    SerialField field = SerialField::kFormat;
    if (std::string error = ParseCounterPlan(r.serialAt, r.serialStart, r.serialStep, r.serialBytes,
                                             r.serialFormat, plan, &field);
        !error.empty()) {
      return Refuse(problem, ErrorOf(field), std::move(error));
    }
    plan.burnFailed = r.serialBurnFailed;
    job.settings.serial = std::move(plan);
  } else if (file) {
    InputFileOptions options;
    options.limit = std::size_t{64} << 20;
    std::string text;
    if (r.serialFileText) {
      text = *r.serialFileText;
    } else if (const InputFileError e = ReadInputFile(PathFromUtf8(r.serialFile), options, text);
               e != InputFileError::kNone) {
      return Refuse(
          problem, JobError::kSerialFile,
          "--serial-file " + Printable(r.serialFile) + ": " + InputFileErrorText(e, options));
    }
    SerialPlan plan;
    SerialField field = SerialField::kFile;
    if (std::string error = ParseFilePlan(r.serialAt, r.serialFile, text, plan, &field);
        !error.empty()) {
      return Refuse(problem, ErrorOf(field), std::move(error));
    }
    for (const auto& value : plan.fileValues) {
      if (plan.address + value.size() > kAppEnd) {
        return Refuse(problem, JobError::kSerialFile,
                      "--serial-file: a value does not fit below 0xA000");
      }
    }
    plan.burnFailed = r.serialBurnFailed;
    job.settings.serial = std::move(plan);
  }
  if (r.countLimit < 0) return Refuse(problem, JobError::kCountLimit, "--count-limit: 0 or more");
  if (r.countLimit > 0 && !job.settings.serial) {
    // The limit is held by the numbers reserved (unknown ones included).
    return Refuse(problem, JobError::kCountLimit,
                  "--count-limit needs serial numbers (--serial-start or --serial-file)");
  }
  if (!r.chipData.empty() && r.chipDataTimeoutMs < 1) {
    return Refuse(problem, JobError::kChipData, "--chip-data-timeout: 1 ms or more");
  }
  job.settings.jobId = r.jobId;
  job.settings.countLimit = r.countLimit;
  if (!r.chipData.empty()) {
    job.settings.chipData =
        ChipDataSettings{r.chipData, std::chrono::milliseconds(r.chipDataTimeoutMs)};
  }
  job.hexPath = r.hexPath;
  job.fuse = r.fuse;
  job.log = r.log;
  return job;
}

}  // namespace velkan::production
