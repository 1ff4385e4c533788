// quenvaro-cli convert (see Batch.h).
#include "Batch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "ConvertRecord.h"
#include "LibLoader.h"
#include "SizeEstimate.h"
#include "Strix.h"

namespace {

using TClock = TBatchFile::TClock;

// A path as the file system resolves it, so that two spellings of one file
// (or a link to it) compare equal.
std::string PathKey(const std::string &APath)
{
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path p = fs::weakly_canonical(fs::absolute(APath, ec), ec);
  if (ec) p = fs::absolute(APath, ec).lexically_normal();
  return p.string();
}

int64_t SizeOnDisk(const std::string &APath)
{
  struct stat st {};
  if (APath.empty() || stat(APath.c_str(), &st) != 0) return -1;
  return st.st_size;
}


// The first name of the naming rule beside the input, NAME_(new).mp4: a
// resumable batch needs the same name on every run.
std::string FirstOutputName(const std::string &AInput)
{
  std::string base = AInput;
  const auto slash = base.find_last_of('/');
  const auto dot = base.find_last_of('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) base.erase(dot);
  return base + "_(new).mp4";
}

// In an output folder the name is the input's own name with ".mp4".
std::string NameInFolder(const std::string &AInput, const std::string &AFolder)
{
  std::string stem = AInput.substr(AInput.find_last_of('/') + 1);
  const auto dot = stem.find_last_of('.');
  if (dot != std::string::npos) stem.erase(dot);
  return AFolder + (AFolder.back() == '/' ? "" : "/") + stem + ".mp4";
}

}  // namespace

std::string ResumableOutputName(const std::string &AInput, const std::string &AOutputDir)
{
  return AOutputDir.empty() ? FirstOutputName(AInput) : NameInFolder(AInput, AOutputDir);
}

TBatch::TBatch(const TBatchSettings &ASettings, const std::atomic<int> &AStopSignal)
    : FSettings(ASettings), FStopSignal(AStopSignal), FReport(ASettings.Terminal, ASettings.Json, ASettings.Resumable)
{
  for (size_t i = 0; i < ASettings.Inputs.size(); ++i) {
    if (ASettings.Shard.Takes(i)) {
      TBatchFile f;
      f.Number = static_cast<int>(i);
      f.Input = ASettings.Inputs[i];
      FFiles.push_back(std::move(f));
    }
    FInputKeys.insert(PathKey(ASettings.Inputs[i]));
    // Only a stat: a queued input is not opened before its turn.
    struct stat st {};
    if (stat(ASettings.Inputs[i].c_str(), &st) == 0)
      FInputIds.emplace(std::pair<uint64_t, uint64_t>(st.st_dev, st.st_ino), i);
  }
  if (!ASettings.Resumable) return;
  // Every output of the whole list, in list order: the first file to claim a
  // name keeps it, in whichever shard the clash is found.
  std::set<std::string> outputs;
  for (size_t i = 0; i < ASettings.Inputs.size(); ++i) {
    const std::string &input = ASettings.Inputs[i];
    const std::string name = ResumableOutputName(input, ASettings.OutputDir);
    const std::string key = PathKey(name);
    std::string error;
    if (FInputKeys.count(key))
      error = "Output file '" + name + "' is an input of this batch";
    else if (!outputs.insert(key).second)
      error = "Output file '" + name + "' clashes with the output of another file of this batch";
    if (ASettings.Shard.Takes(i)) {
      FFinalNames.push_back(name);
      FNameErrors.push_back(error);
    }
  }
}

const TFFmpeg *TBatch::TaskAt(int AIndex) const
{
  // Raised under the component's event lock, so the list cannot change
  // between the event's index and this look-up.
  if (!FStrix || AIndex < 0 || AIndex >= FStrix->TaskCount()) return nullptr;
  return &FStrix->Tasks(AIndex);
}

std::string TBatch::InputNamed(const std::string &AName) const
{
  struct stat st {};
  if (stat(AName.c_str(), &st) != 0) return {};
  const auto found = FInputIds.find({st.st_dev, st.st_ino});
  return found == FInputIds.end() ? std::string() : FSettings.Inputs[found->second];
}

bool TBatch::RefuseSpecialInput(TBatchFile &F)
{
  const std::string reason = NotRegularFileText(F.Input);
  if (reason.empty()) return false;
  F.Output.clear();
  Fail(F, reason);
  return true;
}

void TBatch::Finish(TBatchFile &F)
{
  FReport.FileEnded(F);
  FRecord.Append(F);
}

void TBatch::Fail(TBatchFile &F, const std::string &AMessage)
{
  F.Status = fsFailed;
  F.Message = AMessage.empty() ? "Conversion failed" : AMessage;
  F.OutputSize = -1;
  if (F.EndedAt == TClock::time_point{}) F.EndedAt = TClock::now();
  Finish(F);
}

std::string TBatch::OutputFolderName(const std::string &AInput) const
{
  return NameInFolder(AInput, FSettings.OutputDir);
}

bool TBatch::PrepareAtomicOutput(TBatchFile &F, size_t APosition)
{
  if (!FNameErrors[APosition].empty()) {
    Fail(F, FNameErrors[APosition]);
    return false;
  }
  const std::string &name = FFinalNames[APosition];
  if (const std::string input = InputNamed(name); !input.empty()) {
    Fail(F, "Output file '" + name + "' is the same as input '" + input + "'");
    return false;
  }
  for (const std::string &removed : FSweeper.Sweep(name))
    FReport.Log(&F, llInfo, "Removed '" + removed + "', left unfinished by an earlier run");
  struct stat st {};
  if (lstat(name.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      Fail(F, "Output file '" + name + "' is a folder");
      return false;
    }
    if (!FSettings.Overwrite) {
      if (!IsCompleteMp4(name)) {
        Fail(F, "File '" + name + "' already exists and is not a complete MP4. Use -y to overwrite it.");
        return false;
      }
      if (TStampReason why = srWarnings; InputChangedSince(name, F.Input, &why)) {
        // Its earlier conversion had warnings (the input ended early, say),
        // or its input was written to meanwhile, and the input has changed
        // since: converted again over that output.
        FReport.Note(F, (why == srWarnings ? "The input has changed since '" + name + "' was made from it with warnings"
                                           : "The input was written to while '" + name + "' was made from it") +
                            ": converting it again");
        F.Output = name;
        F.ReplaceOutput = true;
        return true;
      }
      // Converted by an earlier run.
      F.Output = name;
      F.Status = fsSkipped;
      F.OutputSize = st.st_size;
      F.EndedAt = TClock::now();
      Finish(F);
      return false;
    }
  }
  F.Output = name;
  return true;
}

TPublishOptions TBatch::PublishOptionsFor(const TBatchFile &F) const
{
  TPublishOptions publish;
  publish.KeepDates = FSettings.KeepDates;
  if (FSettings.Resumable) {
    // An unfinished file is never left: the rerun converts it again. An
    // output made from an input that has grown since is replaced.
    publish.Replace = FSettings.Overwrite || F.ReplaceOutput;
    publish.PublishStopped = false;
  } else if (FSettings.OutputDir.empty()) {
    // A name of the rule taken meanwhile by another program: the next one.
    publish.NextFreeName = [input = F.Input] { return MakeOutputName(input, ".mp4"); };
  } else {
    publish.Replace = FSettings.Overwrite;
  }
  return publish;
}

void TBatch::Published(TBatchFile &F, const std::string &APublished, bool AFinalTaken)
{
  if (FSettings.Resumable && AFinalTaken) {
    // Another process (a second copy of this shard, say) finished first.
    if (IsCompleteMp4(F.Output)) {
      F.Status = fsSkipped;
      F.Message = "Converted by another process meanwhile";
    }
  } else if (!APublished.empty() && APublished != F.Output) {
    FReport.Note(F, "Saved as '" + APublished + "': '" + F.Output + "' was taken meanwhile");
    F.Output = APublished;
  }
  // An output made from an input that gave less than it promised is made
  // again once that input changes.
  if (FSettings.Resumable && !APublished.empty() && F.Status == fsDone &&
      (F.Warnings.empty() || !SaveInputStamp(F.Output, F.InputStamp)))
    RemoveInputStamp(F.Output);
  const bool there = F.Status == fsSkipped || !APublished.empty();
  F.OutputSize = there ? SizeOnDisk(F.Output) : -1;
}

bool TBatch::PrepareOutput(TBatchFile &F)
{
  if (FSettings.OutputDir.empty()) {
    // Beside the input, by the naming rule: an existing name (or one another
    // conversion is writing) is skipped, so nothing is ever overwritten. The
    // temporary the component creates reserves the name until it is published.
    F.Output = MakeOutputName(F.Input, ".mp4");
    for (const std::string &removed : FSweeper.Sweep(F.Output))
      FReport.Log(&F, llInfo, "Removed '" + removed + "', left unfinished by an earlier run");
    FOutputKeys.insert(PathKey(F.Output));
    return true;
  }

  const std::string name = OutputFolderName(F.Input);
  const std::string key = PathKey(name);
  // Even -y never writes over a file this batch reads or has just written.
  if (FInputKeys.count(key)) {
    Fail(F, "Output file '" + name + "' is an input of this batch");
    return false;
  }
  if (FOutputKeys.count(key)) {
    Fail(F, "Output file '" + name + "' clashes with the output of another file of this batch");
    return false;
  }
  if (const std::string input = InputNamed(name); !input.empty()) {
    Fail(F, "Output file '" + name + "' is the same as input '" + input + "'");
    return false;
  }
  for (const std::string &removed : FSweeper.Sweep(name))
    FReport.Log(&F, llInfo, "Removed '" + removed + "', left unfinished by an earlier run");
  struct stat st {};
  if (!FSettings.Overwrite && (lstat(name.c_str(), &st) == 0 || OutputNameReserved(name))) {
    Fail(F, "File '" + name + "' already exists. Use -y to overwrite it.");
    return false;
  }
  F.Output = name;
  FOutputKeys.insert(key);
  return true;
}

bool TBatch::ConfigureNext(TStrix &AStrix)
{
  const size_t position = FNext++;
  TBatchFile &f = FFiles[position];
  FConfiguring = static_cast<int>(position);
  struct TDone {
    std::atomic<int> &Configuring;
    ~TDone() { Configuring = -1; }
  } done{FConfiguring};
  // A rerun passes over finished files without opening their inputs.
  if (FSettings.Resumable && !PrepareAtomicOutput(f, position)) return false;
  if (RefuseSpecialInput(f)) return false;
  f.InputStamp = InputStampOf(f.Input);  // before opening: a later change is one the output may lack
  const int index = AStrix.AddTask(f.Input, ConvertInputRecord(f.Input));
  if (index < 0) {
    f.Output.clear();
    Fail(f, AStrix.LastError());
    return false;
  }
  if (!FSettings.Resumable && !PrepareOutput(f)) {
    AStrix.DeleteTask(index);
    return false;
  }
  TOutputOptions record;
  TSourceInfo source;
  TRewrapKind kind = rkNone;
  std::string error;
  if (!OutputRecordFor(AStrix, index, f, record, source, kind, error)) {
    AStrix.DeleteTask(index);
    f.Output.clear();
    Fail(f, error);
    return false;
  }
  record.FileFormat = "mp4";  // whatever the name says
  // Written under a temporary that reserves the name until it is published.
  if (!AStrix.AddTaskOutput(index, f.Output, record, PublishOptionsFor(f))) {
    const std::string error = AStrix.LastError();
    AStrix.DeleteTask(index);
    f.Output.clear();
    Fail(f, error);
    return false;
  }
  FTaskFiles[&AStrix.Tasks(index)] = static_cast<int>(position);
  FReport.FileQueued(f);
  return true;
}

bool TBatch::OutputRecordFor(TStrix &AStrix, int AIndex, TBatchFile &F, TOutputOptions &ARecord, TSourceInfo &ASource,
                             TRewrapKind &AKind, std::string &AError)
{
  const TFFmpeg &task = AStrix.Tasks(AIndex);
  ASource = DescribeSource(task.InputContext(0));
  AKind = FSettings.Rewrap ? RewrapKindOf(ASource) : rkNone;
  if (AKind != rkNone) {
    ARecord = RewrapOutputRecord(AKind, ASource);
    return true;
  }
  if (FSettings.Rewrap) {
    const std::string preset = FSettings.Preset ? "the preset '" + FSettings.Preset->Name + "'" : "mpeg4 and AAC";
    FReport.Note(F, (ASource.VideoCodec.empty() ? std::string("No video to copy")
                                                : "Its video (" + ASource.VideoCodec + ") cannot be copied into MP4") +
                        "; converting with " + preset);
    // Checked here only: a batch of rewraps may never need the preset.
    if (FSettings.Preset && !FSettings.Preset->Problem.empty()) {
      AError = "The preset '" + FSettings.Preset->Name + "' cannot be used: " + FSettings.Preset->Problem;
      return false;
    }
    const std::string missing = FSettings.Preset ? MissingEncoder(*FSettings.Preset) : std::string();
    if (!missing.empty()) {
      AError = "The preset '" + FSettings.Preset->Name + "' needs the encoder '" + missing +
               "', which the media libraries lack";
      return false;
    }
  }
  ARecord = ConvertOutputRecord(FSettings.Preset, &ASource);
  return true;
}

void TBatch::MarkStarted(TBatchFile &F)
{
  if (F.Status != fsWaiting) return;
  F.Status = fsRunning;
  F.StartedAt = TClock::now();
}

void TBatch::TaskEnded(const TFFmpeg *ATask, bool AFinished, bool AException, const std::string &AMessage,
                       const std::vector<TRunWarning> &AWarnings)
{
  const auto found = FTaskFiles.find(ATask);
  if (found == FTaskFiles.end()) return;
  TBatchFile &f = FFiles[found->second];
  FTaskFiles.erase(found);
  // Settled before the end was raised.
  const std::string published = ATask->PublishedName();
  const bool finalTaken = ATask->FinalNameTaken();
  // Kept before the task goes: a failed verification has already made the
  // task's end a failure with its reason, and discarded the output.
  if (!ATask->Verifications.empty()) f.Verification = ATask->Verifications.front();
  // A done file costs nothing more: its task leaves the list (its thread
  // joined), and the run goes on with the places it keeps.
  FStrix->DeleteTask(ATask->Index);
  if (f.Status != fsWaiting && f.Status != fsRunning) return;
  f.EndedAt = TClock::now();
  if (AFinished && !AException) {
    f.Status = fsDone;
    f.Warnings = AWarnings;
  } else if (AException) {
    f.Status = fsFailed;
    f.Message = AMessage.empty() ? "Conversion failed" : AMessage;
  } else {
    f.Status = fsStopped;
  }
  Published(f, published, finalTaken);
  Finish(f);
}

void TBatch::RunTasks(TStrix &AStrix)
{
  // The component's list holds only the files that convert: each input is
  // opened when a place frees, and each ended task leaves the list.
  auto mayAdd = [&] {
    return !StopRequested() && FNext < FFiles.size() && FTaskFiles.size() < static_cast<size_t>(FSettings.Jobs);
  };
  // The first places are filled before the run starts, so the component
  // shares the cores among them from the first.
  while (mayAdd()) ConfigureNext(AStrix);
  if (AStrix.TaskCount() == 0) return;
  AStrix.StartTasks(FSettings.Jobs);
  for (auto &[task, position] : FTaskFiles) MarkStarted(FFiles[position]);
  // Over when every task's end has been handled here and the component's
  // run is over (its -1 report is not waited for).
  while (!FTaskFiles.empty() || AStrix.RunActive() || mayAdd()) {
    while (mayAdd()) {
      if (!ConfigureNext(AStrix)) continue;
      const int index = AStrix.TaskCount() - 1;
      TBatchFile &f = FFiles[FTaskFiles.at(&AStrix.Tasks(index))];
      if (AStrix.AppendToRun(index)) {
        MarkStarted(f);
      } else {
        FTaskFiles.erase(&AStrix.Tasks(index));
        AStrix.DeleteTask(index);
        Fail(f, "The conversion could not be started");
      }
    }
    FWindowThread.ProcessEvents(100);
    if (StopRequested() && !FStopSent) {
      FStopSent = true;
      AStrix.StopTasks();
    }
    FReport.Tick(FFiles);
  }
}

int TBatch::Run()
{
  // Before the report or any output is written.
  if (FSettings.Preset && !FSettings.Rewrap && !FSettings.Preset->Problem.empty()) {
    std::fprintf(stderr, "The preset '%s' cannot be used: %s\n", FSettings.Preset->Name.c_str(),
                 FSettings.Preset->Problem.c_str());
    return 1;
  }
  if (!FSettings.ReportFile.empty()) {
    std::string error;
    if (!FRecord.Open(FSettings.ReportFile, FSettings.Shard, error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
  }
  if (FSettings.Sharded)
    std::fprintf(stderr, "Shard %s: %zu of %zu files\n", FSettings.Shard.Text().c_str(), FFiles.size(),
                 FSettings.Inputs.size());
  TStrix strix(FWindowThread);
  if (!strix.LoadLibraries(ExecutableDir() + "LibAV", true)) {
    std::fprintf(stderr, "%s\n", strix.LastError().c_str());
    return 1;
  }
  strix.SetLogLevel(llInfo);
  strix.SetThreadPriority(tpNormal);
  strix.SetThreadBudget(FSettings.Threads);
  strix.SetVerifyOutput(FSettings.Verify);
  // Said once, before any file, rather than once per file.
  if (FSettings.Preset && !FSettings.Rewrap) {
    const std::string missing = MissingEncoder(*FSettings.Preset);
    if (!missing.empty()) {
      std::fprintf(stderr, "The preset '%s' needs the encoder '%s', which the media libraries lack\n",
                   FSettings.Preset->Name.c_str(), missing.c_str());
      return 1;
    }
  }

  // Events come on worker threads: each is handed to the main thread as it
  // is, with its task rather than its index, since ended tasks leave the
  // list (and the places of those after them change) meanwhile.
  FStrix = &strix;
  strix.OnProgress = [this](int AIndex, int AFrameNumber, int AFPS, int ACurrentDuration, float, float,
                                   int64_t ACurrentSize, int ATotalOutputDuration) {
    const TFFmpeg *task = TaskAt(AIndex);
    FWindowThread.Post([=, this] {
      const auto found = FTaskFiles.find(task);
      if (!task || found == FTaskFiles.end()) return;
      TBatchFile &f = FFiles[found->second];
      if (f.Status != fsRunning && f.Status != fsWaiting) return;
      if (f.Status == fsWaiting) {  // started without our noticing (a slot freed by a stop)
        f.Status = fsRunning;
        f.StartedAt = TClock::now();
      }
      f.FrameNumber = AFrameNumber;
      f.FPS = AFPS;
      f.CurrentDuration = ACurrentDuration;
      f.TotalDuration = ATotalOutputDuration;
      f.CurrentSize = ACurrentSize;
      FReport.Progress(f);
    });
  };
  strix.OnLog = [this](int AIndex, TLogLevel ALogLevel, const std::string &AMsg) {
    const TFFmpeg *task = TaskAt(AIndex);
    const int opening = AIndex < 0 && std::this_thread::get_id() == FMainThread ? FConfiguring.load() : -1;
    FWindowThread.Post([=, this] {
      const TBatchFile *f = nullptr;
      const auto found = FTaskFiles.find(task);
      if (opening >= 0)
        f = &FFiles[opening];
      else if (task && found != FTaskFiles.end())
        f = &FFiles[found->second];
      FReport.Log(f, ALogLevel, AMsg);
    });
  };
  strix.OnTerminate = [this](int AIndex, bool AFinished, bool AException, const std::string &AMessage) {
    const TFFmpeg *task = TaskAt(AIndex);
    // Written by the task's run before this event, on this thread.
    std::vector<TRunWarning> warnings = task ? task->RunWarnings : std::vector<TRunWarning>();
    FWindowThread.Post([=, this] {
      if (task) TaskEnded(task, AFinished, AException, AMessage, warnings);
    });
  };

  if (FSettings.DryRun) return DryRun(strix);

  RunTasks(strix);
  strix.UnassignEvents();
  FTaskFiles.clear();  // a late event finds no task of ours
  strix.DeleteAllTasks();  // releases the jobs: temporaries of tasks that never ended go
  while (FWindowThread.ProcessEvents(0) > 0) {
  }
  FStrix = nullptr;

  bool allDone = true;
  for (auto &f : FFiles) {
    if (f.Status == fsWaiting || f.Status == fsRunning) {  // never reached: the batch was stopped
      f.Status = fsStopped;
      if (f.EndedAt == TClock::time_point{}) f.EndedAt = TClock::now();
      f.OutputSize = -1;  // its temporary was removed with its task
      Finish(f);
    }
    if (f.Status != fsDone && f.Status != fsSkipped) allDone = false;
  }
  // A scheduler retries a job that fails; files that failed here would fail
  // again, so a resumable batch tells them apart from a run that went wrong.
  int code = 0;
  if (StopRequested())
    code = 128 + FStopSignal.load();
  else if (FRecord.Failed())
    code = 1;
  else if (!allDone)
    code = FSettings.Resumable ? 2 : 1;
  if (FSettings.Summary) FReport.RunEnded(FFiles, code);
  return code;
}

bool TBatch::DryRunOutput(TBatchFile &F, size_t APosition)
{
  // The checks of PrepareAtomicOutput and PrepareOutput, without their
  // clean-up or reservation.
  std::string name;
  if (FSettings.Resumable) {
    if (!FNameErrors[APosition].empty()) {
      Fail(F, FNameErrors[APosition]);
      return false;
    }
    name = FFinalNames[APosition];
  } else if (FSettings.OutputDir.empty()) {
    name = MakeOutputName(F.Input, ".mp4");
  } else {
    name = OutputFolderName(F.Input);
    const std::string key = PathKey(name);
    if (FInputKeys.count(key)) {
      Fail(F, "Output file '" + name + "' is an input of this batch");
      return false;
    }
    if (!FOutputKeys.insert(key).second) {
      Fail(F, "Output file '" + name + "' clashes with the output of another file of this batch");
      return false;
    }
  }
  if (const std::string input = InputNamed(name); !input.empty()) {
    Fail(F, "Output file '" + name + "' is the same as input '" + input + "'");
    return false;
  }
  struct stat st {};
  if (lstat(name.c_str(), &st) == 0 && (FSettings.Resumable || !FSettings.OutputDir.empty())) {
    if (S_ISDIR(st.st_mode)) {
      Fail(F, "Output file '" + name + "' is a folder");
      return false;
    }
    // A run converts an output made with warnings again once its input has changed.
    const bool redone = FSettings.Resumable && IsCompleteMp4(name) && InputChangedSince(name, F.Input);
    if (!FSettings.Overwrite && !redone) {
      if (FSettings.Resumable && IsCompleteMp4(name)) {
        F.Output = name;
        F.Status = fsSkipped;
        F.OutputSize = st.st_size;
        Finish(F);
        return false;
      }
      Fail(F, FSettings.Resumable ? "File '" + name + "' already exists and is not a complete MP4. Use -y to overwrite it."
                                  : "File '" + name + "' already exists. Use -y to overwrite it.");
      return false;
    }
  }
  F.Output = name;
  return true;
}

int TBatch::DryRun(TStrix &AStrix)
{
  TSizeEstimate total{0, false};
  int failed = 0, skipped = 0, unknown = 0;
  for (size_t position = 0; position < FFiles.size() && !StopRequested(); ++position) {
    TBatchFile &f = FFiles[position];
    FConfiguring = static_cast<int>(position);
    if (DryRunOutput(f, position) && !RefuseSpecialInput(f)) {
      const int index = AStrix.AddTask(f.Input, ConvertInputRecord(f.Input));
      TOutputOptions record;
      TSourceInfo source;
      TRewrapKind kind = rkNone;
      std::string error;
      if (index < 0) {
        f.Output.clear();
        Fail(f, AStrix.LastError());
      } else if (!OutputRecordFor(AStrix, index, f, record, source, kind, error)) {
        f.Output.clear();
        Fail(f, error);
      } else {
        if (record.VideoCodecName == "copy") ScanStreamSizes(f.Input, source);
        const TSizeEstimate estimate = EstimateOutputSize(record, source);
        FReport.Estimate(f, kind, kind == rkNone && FSettings.Preset ? FSettings.Preset->Name : std::string(), estimate);
        if (estimate.Bytes < 0) {
          ++unknown;
        } else {
          total.Bytes += estimate.Bytes;
          total.AtMost = total.AtMost || estimate.AtMost;
        }
      }
      if (index >= 0) AStrix.DeleteTask(index);
    }
    if (f.Status == fsFailed) ++failed;
    if (f.Status == fsSkipped) ++skipped;
    while (FWindowThread.ProcessEvents(0) > 0) {
    }
  }
  FConfiguring = -1;
  int code = 0;
  if (StopRequested())
    code = 128 + FStopSignal.load();
  else if (failed > 0)
    code = FSettings.Resumable ? 2 : 1;
  FReport.DryRunEnded(FFiles.size(), total, unknown, failed, skipped, code);
  return code;
}
