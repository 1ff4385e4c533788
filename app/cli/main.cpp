// quenvaro-cli: prints a media report (--info FILE), converts many files the
// way the window converts one (convert, see Batch.h), converts the FLVs a
// folder receives as they are finished (watch, see Watch.h), lists what is wrong
// with FLV files (check, see Check.h), lists the output presets (presets),
// or runs one conversion job whose arguments are handled in order, like a
// command-line transcoder:
//   -i FILE       opens an input
//   -y            allows overwriting an existing output
//   --keep-dates  gives the outputs the input's access and modification times
//   -NAME [VALUE] sets an engine option (flags and no-ops take no value)
//   FILE          creates an output
// An output that is a file is written under a temporary in its folder and
// published under its name at the end (see AtomicOutput.h): a failure or a
// kill leaves nothing under it. Errors go to stderr in the system's own words. Exit codes: 0 finished,
// 1 failure, 130 stopped by Ctrl-C (the output still gets its trailer).
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AVFormatHlpr.h"
#include "AVProbe.h"
#include "Batch.h"
#include "Check.h"
#include "FFmpeg.h"
#include "FFmpegThread.h"
#include "LibLoader.h"
#include "Manifest.h"
#include "TaskOutput.h"
#include "Tools.h"
#include "Watch.h"

namespace {

// The signal that asked us to stop (SIGINT, SIGTERM), 0 while none did.
std::atomic<int> StopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

// Only records the signal: the main thread sees it and stops the conversions.
void OnStopSignal(int ASignal)
{
  int none = 0;
  StopSignal.compare_exchange_strong(none, ASignal);
}

void InstallStopHandlers()
{
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // A reader of --json output that goes away must not kill the conversions
  // halfway (their outputs would have no trailer).
  signal(SIGPIPE, SIG_IGN);
}

void Usage()
{
  std::fprintf(stderr,
               "usage: quenvaro-cli --info FILE\n"
               "       quenvaro-cli [-y] [--keep-dates] [--threads N] [-OPTION [VALUE]]... -i INPUT\n"
               "                    [-OPTION [VALUE]]... OUTPUT\n"
               "       quenvaro-cli convert [--preset NAME|NUMBER|copy] [--presets FILE] [--jobs N] [--threads N]\n"
               "                            [--output-dir DIR] [-y] [--keep-dates] [--json] [--verify]\n"
               "                            [--report FILE | --dry-run]\n"
               "                            [--shard K/N | --shard auto [--shards N]]\n"
               "                            {--manifest FILE|- | [--] FILE...}\n"
               "       quenvaro-cli watch [--preset NAME|NUMBER|copy] [--presets FILE] [--jobs N] [--threads N]\n"
               "                          [--output-dir DIR] [--keep-dates] [--verify] [--report FILE]\n"
               "                          [--recursive] [--settle SECONDS] FOLDER\n"
               "       quenvaro-cli check [--json] FILE...\n"
               "       quenvaro-cli presets [--presets FILE]\n"
               "       quenvaro-cli --version\n");
}

bool Exists(const std::string &APath)
{
  struct stat st {};
  return stat(APath.c_str(), &st) == 0;
}

bool LoadLibraries()
{
  if (LoadAVLibs(ExecutableDir() + "LibAV", true)) return true;
  std::fprintf(stderr, "%s\n", AVLibsLastError().c_str());
  return false;
}

int Info(const std::string &AFile)
{
  TAVProbe probe;
  if (!probe.LoadFile(AFile)) {
    std::fprintf(stderr, "%s\n", probe.LastError.c_str());
    return 1;
  }
  const std::string text = probe.GetFileInfoText();
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}

bool TakeValue(const std::vector<std::string> &AArgs, size_t &AIndex, const std::string &AName, std::string &AValue);
int PositiveNumber(const std::string &AText);

class TJob {
 public:
  int Execute(const std::vector<std::string> &AArgs);

 private:
  bool Configure(const std::vector<std::string> &AArgs);
  // Opens output AName, through a temporary when it is a file.
  bool OpenOutput(const std::string &AName, const TPublishOptions &APublish);
  // Settles the outputs once the run is over (see TaskOutput.h); false after
  // a message when a finished output could not be published.
  bool SettleOutputs();
  // AText with the temporaries' names told as the outputs' final names.
  std::string Named(std::string AText) const;
  int Run();

  TCustomFFmpeg FEngine;
  std::mutex FLock;
  std::condition_variable FDone;
  bool FTerminated = false;
  std::string FLastLogged;  // so the final error is not printed twice
  std::string FInputs;      // the inputs, named when a run fails
  bool FTerminal = isatty(STDERR_FILENO);
  bool FProgressShown = false;
  struct stat FFirstInput {};  // before the job read it
  bool FFirstInputKnown = false;
  TTaskOutputs FOutputs;
};

// Whether output AName is a file of its own that a temporary can stand in
// for: not a pipe, a protocol, a numbered sequence or a device.
bool IsPlainFileTarget(const std::string &AName)
{
  if (AName.empty() || AName == "-" || AName.find(':') != std::string::npos || AName.find('%') != std::string::npos)
    return false;
  struct stat st {};
  return stat(AName.c_str(), &st) != 0 ? errno == ENOENT : S_ISREG(st.st_mode);
}

bool TJob::OpenOutput(const std::string &AName, const TPublishOptions &APublish)
{
  auto output = std::make_unique<TTaskOutput>();
  if (!IsPlainFileTarget(AName)) {
    output->Direct(AName);
    if (!FEngine.OpenOutputFile(AName)) {
      std::fprintf(stderr, "%s\n", FEngine.LastOptionError.c_str());
      return false;
    }
    output->Opened();
    FOutputs.push_back(std::move(output));
    return true;
  }
  // The temporary's name says nothing of the format.
  if (!FEngine.OutputFormat) FEngine.OutputFormat = AVFormatLib.av_guess_format(nullptr, AName.c_str(), nullptr);
  if (!FEngine.OutputFormat) {
    std::fprintf(stderr, "Unable to find a suitable output format for '%s'\n", AName.c_str());
    return false;
  }
  TTempSweeper().Sweep(AName);  // what a killed run of this output left
  std::string error;
  const struct stat *input = FFirstInputKnown ? &FFirstInput : nullptr;
  if (!output->Stage(AName, input, APublish, IsMp4Family(FEngine.OutputFormat->name), error)) {
    std::fprintf(stderr, "Could not open '%s'\n", AName.c_str());  // as the engine says it
    return false;
  }
  if (!FEngine.OpenOutputFile(output->EngineName())) {
    std::fprintf(stderr, "%s\n", FEngine.LastOptionError.c_str());
    return false;
  }
  FOutputs.push_back(std::move(output));
  return true;
}

std::string TJob::Named(std::string AText) const
{
  for (const auto &output : FOutputs) AText = output->Named(AText);
  return AText;
}

bool TJob::SettleOutputs()
{
  const bool ok = ::SettleOutputs(FOutputs, TTaskOutput::EndOf(FEngine.ExceptionRaised, FEngine.Finished),
                                  [](const std::string &AError) { std::fprintf(stderr, "%s\n", AError.c_str()); });
  FOutputs.clear();
  return ok;
}

bool TJob::Configure(const std::vector<std::string> &AArgs)
{
  bool overwrite = false;
  bool anyOutput = false;
  TPublishOptions publish;
  // Every core by default; the output is the same with any number.
  const unsigned cores = std::thread::hardware_concurrency();
  FEngine.SetThreadBudget(cores > 0 ? static_cast<int32_t>(cores) : 1);
  for (std::size_t i = 0; i < AArgs.size(); ++i) {
    const std::string &a = AArgs[i];
    if (a == "-y") {
      overwrite = true;
    } else if (a == "--keep-dates") {
      publish.KeepDates = true;
    } else if (a == "--threads" || a.rfind("--threads=", 0) == 0) {
      std::string value;
      if (!TakeValue(AArgs, i, "--threads", value)) return false;
      const int threads = PositiveNumber(value);
      if (threads <= 0) {
        std::fprintf(stderr, "'%s' is not a valid number of threads\n", value.c_str());
        return false;
      }
      FEngine.SetThreadBudget(threads);
    } else if (a == "-i") {
      if (i + 1 >= AArgs.size()) {
        std::fprintf(stderr, "Missing argument for option 'i'\n");
        return false;
      }
      if (FInputs.empty())
        FFirstInputKnown = stat(AArgs[i + 1].c_str(), &FFirstInput) == 0 && S_ISREG(FFirstInput.st_mode);
      if (!FEngine.OpenInputFile(AArgs[++i])) {
        std::fprintf(stderr, "%s\n", FEngine.LastOptionError.c_str());
        return false;
      }
      FInputs += (FInputs.empty() ? "" : ", ") + AArgs[i];
    } else if (a.size() > 1 && a[0] == '-') {
      const std::string name = a.substr(1);
      if (TCustomFFmpeg::OptionTakesNoValue(name)) {
        FEngine.SetOption(name, "");
      } else {
        if (i + 1 >= AArgs.size()) {
          std::fprintf(stderr, "Missing argument for option '%s'\n", name.c_str());
          return false;
        }
        FEngine.SetOption(name, AArgs[++i]);
      }
    } else {
      // Said first: -y does not make writing over an input any better.
      if (const std::string input = FEngine.InputSameAs(a); !input.empty()) {
        std::fprintf(stderr, "Output file '%s' is the same as input '%s'\n", a.c_str(), input.c_str());
        return false;
      }
      // Never overwrite silently: an existing output needs -y.
      if (!overwrite && Exists(a)) {
        std::fprintf(stderr, "File '%s' already exists. Use -y to overwrite it.\n", a.c_str());
        return false;
      }
      publish.Replace = overwrite;
      if (!OpenOutput(a, publish)) return false;
      anyOutput = true;
    }
  }
  if (!anyOutput) {
    Usage();
    return false;
  }
  return true;
}

int TJob::Run()
{
  FEngine.OnTerminate = [this](TCustomFFmpeg *) {
    std::lock_guard<std::mutex> lock(FLock);
    FTerminated = true;
    FDone.notify_all();
  };
  FEngine.OnProgress = [this](TCustomFFmpeg *, int AFrameNumber, int AFPS, int ACurrentDuration, float,
                              float ABitRate, int64_t ACurrentSize, int ATotalOutputDuration) {
    const int percent = ATotalOutputDuration > 0
                            ? static_cast<int>(100.0 * ACurrentDuration / ATotalOutputDuration + 0.5)
                            : -1;
    std::fprintf(stderr, "frame=%5d fps=%3d time=%8.2fs size=%8lldkB bitrate=%7.1fkbit/s",
                 AFrameNumber, AFPS, ACurrentDuration / 1000.0, static_cast<long long>(ACurrentSize / 1024),
                 static_cast<double>(ABitRate));
    if (percent >= 0) std::fprintf(stderr, " %3d%%", percent > 100 ? 100 : percent);
    std::fputs(FTerminal ? "\r" : "\n", stderr);
    FProgressShown = true;
  };

  TFFmpegThread *thread = FEngine.Start(true);
  if (thread) thread->Resume();
  bool stopSent = false;
  {
    std::unique_lock<std::mutex> lock(FLock);
    while (!FTerminated) {
      FDone.wait_for(lock, std::chrono::milliseconds(100));
      if (StopSignal.load() != 0 && !stopSent) {
        stopSent = true;
        lock.unlock();
        FEngine.Stop();
        lock.lock();
      }
    }
  }
  FEngine.WaitForThread();
  if (FProgressShown && FTerminal) std::fputs("\n", stderr);
  const std::string failure = Named(FEngine.LastErrorMessage);
  const bool published = SettleOutputs();
  if (StopSignal.load() != 0) return 128 + StopSignal.load();
  if (!published) return 1;
  if (FEngine.Finished && !FEngine.ExceptionRaised) return 0;
  const std::string msg = failure.empty() ? "Conversion failed" : failure;
  if (msg != FLastLogged) std::fprintf(stderr, "%s\n", msg.c_str());
  // Run-time messages speak of streams and codecs; say which file it was.
  if (!FInputs.empty() && msg.find(FInputs) == std::string::npos)
    std::fprintf(stderr, "Conversion of %s failed\n", FInputs.c_str());
  return 1;
}

int TJob::Execute(const std::vector<std::string> &AArgs)
{
  FEngine.OnLog = [this](TCustomFFmpeg *, int ALevel, const std::string &AMsg) {
    if (ALevel > 0) return;
    std::string line = Named(AMsg);  // the outputs are all opened before the run logs
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    // Stage threads of the run log too.
    std::lock_guard<std::mutex> lock(FLock);
    FLastLogged = line;
    std::fprintf(stderr, "%s\n", line.c_str());
  };
  FEngine.Prepare();
  if (!Configure(AArgs)) return 1;
  return Run();
}

// "--name=value" or "--name value"; false when the value is missing.
bool TakeValue(const std::vector<std::string> &AArgs, size_t &AIndex, const std::string &AName, std::string &AValue)
{
  const std::string &a = AArgs[AIndex];
  if (a.size() > AName.size() && a.compare(0, AName.size() + 1, AName + "=") == 0) {
    AValue = a.substr(AName.size() + 1);
    return true;
  }
  if (AIndex + 1 >= AArgs.size()) {
    std::fprintf(stderr, "Missing argument for option '%s'\n", AName.c_str());
    return false;
  }
  AValue = AArgs[++AIndex];
  return true;
}

// The same for options where an empty value means nothing.
bool TakeNonEmptyValue(const std::vector<std::string> &AArgs, size_t &AIndex, const std::string &AName,
                       std::string &AValue)
{
  if (!TakeValue(AArgs, AIndex, AName, AValue)) return false;
  if (!AValue.empty()) return true;
  std::fprintf(stderr, "Missing argument for option '%s'\n", AName.c_str());
  return false;
}

bool IsOption(const std::string &AArg, const std::string &AName)
{
  return AArg == AName || AArg.rfind(AName + "=", 0) == 0;
}

// A whole positive decimal number within int; -1 otherwise.
int PositiveNumber(const std::string &AText)
{
  if (AText.empty() || AText.find_first_not_of("0123456789") != std::string::npos) return -1;
  errno = 0;
  const long long v = std::strtoll(AText.c_str(), nullptr, 10);
  if (errno == ERANGE || v <= 0 || v > INT_MAX) return -1;
  return static_cast<int>(v);
}

// Loads the presets; false with a message when a named file gives none.
bool ReadPresets(const std::string &AFile)
{
  LoadPresets(AFile);
  if (Presets.empty() && !AFile.empty()) {
    std::fprintf(stderr, "No presets in '%s'\n", AFile.c_str());
    return false;
  }
  return true;
}

int ListPresets(const std::vector<std::string> &AArgs)
{
  std::string file;
  for (size_t i = 1; i < AArgs.size(); ++i) {
    if (IsOption(AArgs[i], "--presets")) {
      if (!TakeValue(AArgs, i, "--presets", file)) return 1;
    } else {
      Usage();
      return 1;
    }
  }
  if (!ReadPresets(file)) return 1;
  if (Presets.empty()) {
    std::fprintf(stderr, "No presets in '%s'\n", PresetFileName().c_str());
    return 1;
  }
  for (size_t i = 0; i < Presets.size(); ++i) {
    std::printf("%zu\t%s", i + 1, Presets[i].Name.c_str());
    if (!Presets[i].Problem.empty()) std::printf("\tunusable: %s", Presets[i].Problem.c_str());
    std::printf("\n");
  }
  return 0;
}

// A preset by its exact name, else by its number in the list (from 1).
const TFormat *FindPreset(const std::string &AKey)
{
  for (const auto &p : Presets)
    if (p.Name == AKey) return &p;
  const int n = PositiveNumber(AKey);
  if (n > 0 && static_cast<size_t>(n) <= Presets.size()) return &Presets[n - 1];
  return nullptr;
}

// The inputs from the manifest (when given), and the shard this process
// takes (AShard "", "auto" or "K/N"); false after a message.
bool SelectInputs(TBatchSettings &ASettings, const std::string &AManifest, const std::string &AShard,
                  const std::string &AShards)
{
  std::string error;
  if (!AManifest.empty()) {
    if (!ASettings.Inputs.empty()) {
      std::fprintf(stderr, "Give the input files either in a manifest or as arguments, not both\n");
      return false;
    }
    if (!ReadManifest(AManifest, ASettings.Inputs, error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return false;
    }
  }
  int count = 0;
  if (!AShards.empty()) {
    count = PositiveNumber(AShards);
    if (count <= 0) {
      std::fprintf(stderr, "'%s' is not a valid number of shards\n", AShards.c_str());
      return false;
    }
    if (AShard != "auto") {
      std::fprintf(stderr, "--shards goes with --shard auto\n");
      return false;
    }
  }
  if (AShard == "auto") {
    if (!ShardFromEnvironment(count, [](const char *AName) { return static_cast<const char *>(getenv(AName)); },
                              ASettings.Shard, error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return false;
    }
  } else if (!AShard.empty() && !ParseShard(AShard, ASettings.Shard, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return false;
  }
  ASettings.Sharded = !AShard.empty();
  ASettings.Resumable = !AManifest.empty() || ASettings.Sharded;
  return true;
}

// "--name N" with N a whole positive number; false after a message.
bool TakeCount(const std::vector<std::string> &AArgs, size_t &AIndex, const std::string &AName, const char *AWhat,
               int &ACount)
{
  std::string value;
  if (!TakeValue(AArgs, AIndex, AName, value)) return false;
  ACount = PositiveNumber(value);
  if (ACount > 0) return true;
  std::fprintf(stderr, "'%s' is not a valid number of %s\n", value.c_str(), AWhat);
  return false;
}

// False after a message when APath is no folder.
bool IsFolder(const std::string &APath)
{
  struct stat st {};
  const bool found = !APath.empty() && stat(APath.c_str(), &st) == 0;
  if (found && S_ISDIR(st.st_mode)) return true;
  // A folder that is missing is named as missing: the user may only have to create it.
  if (!found && !APath.empty() && errno == ENOENT)
    std::fprintf(stderr, "The folder '%s' does not exist\n", APath.c_str());
  else
    std::fprintf(stderr, "'%s' is not a folder\n", APath.c_str());
  return false;
}

// --preset and --presets as given.
struct TPresetChoice {
  std::string File, Key;
  bool Given = false;
};

enum TTaken { toNone, toTaken, toBad };

// The options convert and watch share: how each file is converted, where
// its output goes, the report. toBad: a wrong value, after a message.
TTaken TakeConversionOption(const std::vector<std::string> &AArgs, size_t &AIndex, TBatchSettings &ASettings,
                            TPresetChoice &APreset)
{
  const std::string &a = AArgs[AIndex];
  bool ok = true;
  if (a == "--keep-dates") {
    ASettings.KeepDates = true;
  } else if (a == "--verify") {
    ASettings.Verify = true;
  } else if (IsOption(a, "--preset")) {
    ok = APreset.Given = TakeValue(AArgs, AIndex, "--preset", APreset.Key);
  } else if (IsOption(a, "--presets")) {
    ok = TakeValue(AArgs, AIndex, "--presets", APreset.File);
  } else if (IsOption(a, "--jobs")) {
    ok = TakeCount(AArgs, AIndex, "--jobs", "jobs", ASettings.Jobs);
  } else if (IsOption(a, "--threads")) {
    ok = TakeCount(AArgs, AIndex, "--threads", "threads", ASettings.Threads);
  } else if (IsOption(a, "--report")) {
    ok = TakeNonEmptyValue(AArgs, AIndex, "--report", ASettings.ReportFile);
  } else if (IsOption(a, "--output-dir")) {
    ok = TakeValue(AArgs, AIndex, "--output-dir", ASettings.OutputDir) && IsFolder(ASettings.OutputDir);
  } else {
    return toNone;
  }
  return ok ? toTaken : toBad;
}

// Reads the presets and picks the one asked for; false after a message.
bool ChoosePreset(TBatchSettings &ASettings, const TPresetChoice &AChoice)
{
  if (!ReadPresets(AChoice.File)) return false;
  // "copy" rewraps what MP4 can carry; the rest falls back to the first preset.
  ASettings.Rewrap = AChoice.Given && AChoice.Key == "copy";
  if (AChoice.Given && !ASettings.Rewrap) {
    ASettings.Preset = FindPreset(AChoice.Key);
    if (!ASettings.Preset) {
      std::fprintf(stderr, "No preset '%s' (quenvaro-cli presets lists them)\n", AChoice.Key.c_str());
      return false;
    }
  } else if (!Presets.empty()) {
    ASettings.Preset = &Presets.front();  // the window selects the first preset too
  } else if (!ASettings.Rewrap) {
    std::fprintf(stderr, "No presets in '%s': converting at the input's frame size\n", PresetFileName().c_str());
  }
  return true;
}

// Seconds as a decimal number from 0 to a day; false when AText is not one.
bool ParseSeconds(const std::string &AText, std::chrono::milliseconds &AValue)
{
  if (AText.empty() || AText.find_first_not_of("0123456789.") != std::string::npos) return false;
  char *end = nullptr;
  const double seconds = std::strtod(AText.c_str(), &end);
  if (*end != '\0' || !(seconds >= 0 && seconds <= 86400)) return false;
  AValue = std::chrono::milliseconds(static_cast<long long>(seconds * 1000.0 + 0.5));
  return true;
}

int Watch(const std::vector<std::string> &AArgs)
{
  TWatchSettings settings;
  TPresetChoice preset;
  std::string value;
  const unsigned cores = std::thread::hardware_concurrency();
  settings.Batch.Jobs = cores > 0 ? static_cast<int>(cores) : 1;
  for (size_t i = 1; i < AArgs.size(); ++i) {
    const std::string &a = AArgs[i];
    if (a.empty() || a[0] != '-') {
      if (!settings.Folder.empty()) {
        std::fprintf(stderr, "Give one folder to watch\n");
        return 1;
      }
      settings.Folder = a;
    } else if (a == "--recursive") {
      settings.Recursive = true;
    } else if (const TTaken taken = TakeConversionOption(AArgs, i, settings.Batch, preset); taken != toNone) {
      if (taken == toBad) return 1;
    } else if (IsOption(a, "--settle")) {
      if (!TakeValue(AArgs, i, "--settle", value)) return 1;
      if (!ParseSeconds(value, settings.Settle)) {
        std::fprintf(stderr, "'%s' is not a valid number of seconds\n", value.c_str());
        return 1;
      }
    } else {
      std::fprintf(stderr, "Unknown option '%s'\n", a.c_str());
      Usage();
      return 1;
    }
  }
  if (settings.Folder.empty()) {
    Usage();
    return 1;
  }
  if (!IsFolder(settings.Folder) || !ChoosePreset(settings.Batch, preset)) return 1;
  TWatch watch(settings, StopSignal);
  return watch.Run();
}

int Convert(const std::vector<std::string> &AArgs)
{
  TBatchSettings settings;
  TPresetChoice preset;
  std::string manifest, shard, shards;
  const unsigned cores = std::thread::hardware_concurrency();
  settings.Jobs = cores > 0 ? static_cast<int>(cores) : 1;
  bool options = true;
  for (size_t i = 1; i < AArgs.size(); ++i) {
    const std::string &a = AArgs[i];
    if (!options || a.empty() || a[0] != '-' || a == "-") {
      settings.Inputs.push_back(a);
    } else if (a == "--") {
      options = false;
    } else if (a == "-y") {
      settings.Overwrite = true;
    } else if (a == "--json") {
      settings.Json = true;
    } else if (a == "--dry-run") {
      settings.DryRun = true;
    } else if (const TTaken taken = TakeConversionOption(AArgs, i, settings, preset); taken != toNone) {
      if (taken == toBad) return 1;
    } else if (IsOption(a, "--manifest")) {
      if (!TakeNonEmptyValue(AArgs, i, "--manifest", manifest)) return 1;
    } else if (IsOption(a, "--shard")) {
      if (!TakeNonEmptyValue(AArgs, i, "--shard", shard)) return 1;
    } else if (IsOption(a, "--shards")) {
      if (!TakeNonEmptyValue(AArgs, i, "--shards", shards)) return 1;
    } else {
      std::fprintf(stderr, "Unknown option '%s'\n", a.c_str());
      Usage();
      return 1;
    }
  }
  if (settings.DryRun && !settings.ReportFile.empty()) {
    std::fprintf(stderr, "A dry run converts nothing and writes no report; leave out --report\n");
    return 1;
  }
  if (settings.DryRun && settings.Verify) {
    std::fprintf(stderr, "A dry run converts nothing and verifies nothing; leave out --verify\n");
    return 1;
  }
  if (!SelectInputs(settings, manifest, shard, shards)) return 1;
  if (settings.Inputs.empty()) {
    Usage();
    return 1;
  }
  if (!ChoosePreset(settings, preset)) return 1;
  settings.Terminal = isatty(STDERR_FILENO) != 0;
  InstallStopHandlers();
  TBatch batch(settings, StopSignal);
  return batch.Run();
}

}  // namespace

int main(int argc, char **argv)
{
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    Usage();
    return 1;
  }
  if (args[0] == "--version") {
    std::printf("quenvaro-cli %s\n", QV_VERSION);
    return 0;
  }
  if (args[0] == "--help" || args[0] == "-h") {
    Usage();
    return 0;
  }
  if (args[0] == "presets") return ListPresets(args);
  // the reader alone: works without the media libraries
  if (args[0] == "check") return CheckFiles({args.begin() + 1, args.end()});
  // Before anything slow, so an early Ctrl-C is a stop request, not a kill.
  InstallStopHandlers();
  if (args[0] == "convert" || args[0] == "watch") {
    try {
      return args[0] == "convert" ? Convert(args) : Watch(args);
    } catch (const std::exception &e) {
      std::fprintf(stderr, "%s\n", e.what());
      return 1;
    }
  }
  if (!LoadLibraries()) return 1;
  // Library chatter stays quiet unless an option asks for more.
  SetLibraryLogLevel(0);
  try {
    if (args[0] == "--info") {
      if (args.size() != 2) {
        Usage();
        return 1;
      }
      return Info(args[1]);
    }
    TJob job;
    return job.Execute(args);
  } catch (const std::exception &e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
