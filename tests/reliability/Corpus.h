// Broken and odd inputs for the reliability tests, and the two ways of
// converting them (the engine in-process, quenvaro-cli as a child process)
// with the checks every conversion must pass: a valid MP4 with the expected
// codecs, or a clean failure with a message; never a signal, never a hang,
// never a zero-byte output.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

class TCustomFFmpeg;

namespace qvrel {

using TOptions = std::vector<std::pair<std::string, std::string>>;

// The window's FLV -> MP4 settings.
TOptions WindowOptions();

// ---- FLV tags ----
struct TFlvTag {
  uint8_t Type = 0;      // 8 audio, 9 video, 18 script
  uint32_t Time = 0;     // ms, 32 bits (24 + extended 8)
  std::string Body;      // the tag's data, first byte the A/V header
};
struct TFlv {
  std::string Header;  // the 9-byte file header
  std::vector<TFlvTag> Tags;
};
// Splits a well-formed FLV; throws std::runtime_error when it is not one.
TFlv ParseFlv(const std::string &AData);
std::string BuildFlv(const TFlv &AFlv);

// ---- the corpus ----
enum class TExpect {
  Fails,     // no demuxer can read it: opening fails, naming the file
  Converts,  // must give a valid MP4
  Either     // damaged media: a valid MP4 or a clean failure
};
struct TCase {
  std::string Name;
  std::string Path;
  TExpect Expect = TExpect::Either;
  bool HasVideo = true, HasAudio = true;  // what a successful output holds at most
};
// Writes every case into ADir (generated media, damaged copies of it and of
// real samples). Needs the libraries loaded.
std::vector<TCase> MakeCorpus(const std::string &ADir);

// ---- results ----
struct TOutcome {
  bool Ok = false;          // a successful conversion
  std::string Message;      // the failure text (engine) or stderr (command)
  bool OpenFailed = false;  // the engine refused the input when opening it
};

// Prepare, OpenInputFile, the options, OpenOutputFile, Start(false).
// ABeforeStart may adjust the engine (events, intervals).
TOutcome ConvertWithEngine(TCustomFFmpeg &AEngine, const std::string &AIn, const std::string &AOut,
                           const std::function<void(TCustomFFmpeg &)> &ABeforeStart = {});

// A finished child process.
struct TChild {
  int ExitCode = -1;  // -1 when it did not exit normally
  int Signal = 0;     // the signal that ended it, 0 if none
  bool TimedOut = false;
  std::string StdErr;
};

std::string CliPath();
// Starts quenvaro-cli with AArgs; stderr goes to AErrFile. AFileSizeLimit > 0
// sets RLIMIT_FSIZE (bytes) in the child with SIGXFSZ ignored, so a full
// disk shows as a failing write. SIGINT has its default disposition.
pid_t StartCli(const std::vector<std::string> &AArgs, const std::string &AErrFile, long long AFileSizeLimit = 0);
// Waits for APid at most ASeconds, killing it (SIGKILL) past that.
TChild WaitCli(pid_t APid, const std::string &AErrFile, int ASeconds = 120);
TChild RunCli(const std::vector<std::string> &AArgs, const std::string &AErrFile, long long AFileSizeLimit = 0);
// "-i IN <window options> -y OUT"
std::vector<std::string> WindowArgs(const std::string &AIn, const std::string &AOut);

// Checks that AOut is a readable MP4 holding a video stream (mpeg4) only when
// AVideo, an audio stream (aac) only when AAudio, and at least one stream.
// Adds a test failure and returns false otherwise.
bool ExpectValidMp4(const std::string &AOut, bool AVideo, bool AAudio);
// No file, or a file with some bytes: an empty output is never left behind.
void ExpectNoEmptyOutput(const std::string &AOut);

// Ends the test binary with a message when a conversion runs past the bound,
// so a hang shows as a failure rather than a stuck CI job.
class TWatchdog {
 public:
  TWatchdog(int ASeconds, std::string AWhat);
  ~TWatchdog();
  TWatchdog(const TWatchdog &) = delete;
  TWatchdog &operator=(const TWatchdog &) = delete;

 private:
  struct TState;
  TState *FState;
};

}  // namespace qvrel
