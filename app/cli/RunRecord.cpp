// The operator's record of a batch (see RunRecord.h).
#include "RunRecord.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "Json.h"

namespace {

TJson SizeOf(const std::string &APath)
{
  struct stat st {};
  if (APath.empty() || stat(APath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  return static_cast<int64_t>(st.st_size);
}

TJson Seconds(int AMilliseconds)
{
  if (AMilliseconds <= 0) return nullptr;
  return AMilliseconds / 1000.0;
}

TJson Seconds(double ASeconds)
{
  if (ASeconds < 0) return nullptr;
  return std::round(ASeconds * 1000.0) / 1000.0;
}

TJson Count(int64_t ACount)
{
  if (ACount < 0) return nullptr;
  return ACount;
}

// The verification's figures; null when the output was not verified.
TJson VerificationOf(const TVerification &AVerification)
{
  if (!AVerification.Checked) return nullptr;
  TJson streams = TJson::array();
  for (const TVerifiedStream &s : AVerification.Streams)
    streams.push_back({{"kind", s.Kind},
                       {"passed", s.Passed},
                       {"input_duration", Seconds(s.InputSeconds)},
                       {"output_duration", Seconds(s.OutputSeconds)},
                       {"input_frames", Count(s.InputFrames)},
                       {"expected_frames", Count(s.ExpectedFrames)},
                       {"output_frames", s.OutputFrames},
                       {"decode_errors", s.DecodeErrors}});
  return {{"passed", AVerification.Passed},
          {"reason", AVerification.Passed ? TJson(nullptr) : TJson(AVerification.Reason)},
          {"seconds", Seconds(AVerification.Seconds)},
          {"streams", streams}};
}

std::string UtcNow()
{
  timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm t {};
  gmtime_r(&ts.tv_sec, &t);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                t.tm_hour, t.tm_min, t.tm_sec, ts.tv_nsec / 1000000);
  return buf;
}

}  // namespace

TRunRecord::~TRunRecord()
{
  if (FFd >= 0) close(FFd);
}

bool TRunRecord::Open(const std::string &AFileName, const TShard &AShard, std::string &AError)
{
  FFd = open(AFileName.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (FFd < 0) {
    AError = "Could not open the report '" + AFileName + "': " + std::strerror(errno);
    return false;
  }
  FFileName = AFileName;
  FShard = AShard.Text();
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) == 0) FHost = host;
  return true;
}

void TRunRecord::Append(const TBatchFile &AFile)
{
  if (FFd < 0) return;
  const char *status = AFile.Status == fsDone      ? "done"
                       : AFile.Status == fsSkipped ? "skipped"
                       : AFile.Status == fsFailed  ? "failed"
                                                   : "stopped";
  const bool outputThere = AFile.Status == fsDone || AFile.Status == fsSkipped || AFile.OutputSize >= 0;
  const TJson record = {
      {"file", AFile.Number},
      {"input", AFile.Input},
      {"output", AFile.Output.empty() ? TJson(nullptr) : TJson(AFile.Output)},
      {"status", status},
      {"error", AFile.Status == fsFailed ? TJson(AFile.Message) : TJson(nullptr)},
      {"warnings", WarningsJson(AFile.Warnings)},
      {"input_size", SizeOf(AFile.Input)},
      {"output_size", outputThere ? SizeOf(AFile.Output) : TJson(nullptr)},
      {"input_duration", Seconds(AFile.TotalDuration)},
      {"output_duration", AFile.Status == fsDone ? Seconds(AFile.CurrentDuration) : TJson(nullptr)},
      {"seconds", std::round(AFile.ElapsedSeconds(TBatchFile::TClock::now()) * 1000.0) / 1000.0},
      {"shard", FShard},
      {"host", FHost},
      {"time", UtcNow()},
      {"verification", VerificationOf(AFile.Verification)}};
  // One write per record: records of a crashed run end whole or are missing.
  const std::string line = JsonLine(record) + "\n";
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = write(FFd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  if (done < line.size() || fdatasync(FFd) != 0) {
    if (!FFailed) std::fprintf(stderr, "Could not write the report '%s': %s\n", FFileName.c_str(), std::strerror(errno));
    FFailed = true;
  }
}
