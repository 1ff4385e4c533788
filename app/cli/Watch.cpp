// quenvaro-cli watch (see Watch.h).
#include "Watch.h"

#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include "AtomicOutput.h"
#include "ConvertRecord.h"
#include "FolderWatch.h"
#include "LibLoader.h"
#include "Tools.h"

TWatch::TWatch(const TWatchSettings &ASettings, const std::atomic<int> &AStopSignal)
    : FSettings(ASettings), FStopSignal(AStopSignal)
{
}

std::string TWatch::OutputFolderFor(const std::string &AInput) const
{
  const std::string &out = FSettings.Batch.OutputDir;
  if (out.empty() || !FSettings.Recursive) return out;
  // The input's subfolder under the watched one, kept under the output
  // folder: two recordings of one name in two folders keep two outputs.
  const std::string &root = FSettings.Folder;
  const size_t skip = root.size() + (root.back() == '/' ? 0 : 1);
  const size_t slash = AInput.find_last_of('/');
  if (AInput.compare(0, root.size(), root) != 0 || slash == std::string::npos || slash < skip) return out;
  return out + (out.back() == '/' ? "" : "/") + AInput.substr(skip, slash - skip);
}

TWatch::TVerdict TWatch::VerdictOf(const std::string &AInput) const
{
  const std::string output = ResumableOutputName(AInput, OutputFolderFor(AInput));
  if (FailedAndUnchanged(output, AInput)) return wvFailedBefore;
  if (IsCompleteMp4(output) && !InputChangedSince(output, AInput)) return wvDone;
  return wvConvert;
}

bool TWatch::CanStart()
{
  const TBatchSettings &b = FSettings.Batch;
  if (b.Preset && !b.Rewrap && !b.Preset->Problem.empty()) {
    std::fprintf(stderr, "The preset '%s' cannot be used: %s\n", b.Preset->Name.c_str(), b.Preset->Problem.c_str());
    return false;
  }
  if (!LoadAVLibs(ExecutableDir() + "LibAV", true)) {
    std::fprintf(stderr, "%s\n", AVLibsLastError().c_str());
    return false;
  }
  if (b.Preset && !b.Rewrap) {
    const std::string missing = MissingEncoder(*b.Preset);
    if (!missing.empty()) {
      std::fprintf(stderr, "The preset '%s' needs the encoder '%s', which the media libraries lack\n",
                   b.Preset->Name.c_str(), missing.c_str());
      return false;
    }
  }
  if (!b.ReportFile.empty()) {
    TRunRecord record;
    std::string error;
    if (!record.Open(b.ReportFile, b.Shard, error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return false;
    }
  }
  return true;
}

int TWatch::ConvertOne(const std::string &AInput)
{
  TBatchSettings s = FSettings.Batch;
  s.Inputs = {AInput};
  s.OutputDir = OutputFolderFor(AInput);
  s.Resumable = true;
  s.Jobs = 1;
  // Each file's share of the cores, as convert gives each of its jobs.
  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  if (s.Threads <= 0) s.Threads = std::max(1, cores / FSettings.Batch.Jobs);
  // Lines of several files interleave: plain lines, no summary.
  s.Terminal = false;
  s.Json = false;
  s.Summary = false;
  std::error_code ec;
  if (!s.OutputDir.empty()) std::filesystem::create_directories(s.OutputDir, ec);
  const TInputStamp stamp = InputStampOf(AInput);  // the input as it is converted
  TBatch batch(s, FStop);
  const int code = batch.Run();
  const std::string output = ResumableOutputName(AInput, s.OutputDir);
  const TInputStamp now = InputStampOf(AInput);
  if (code == 0) {
    RemoveFailedStamp(output);
    // Written to again while it converted: the output may lack the end, so
    // the input's next settling converts it again.
    if (now.Valid() && (now.Size != stamp.Size || now.MtimeNs != stamp.MtimeNs))
      SaveInputStamp(output, stamp, srChangedWhileConverting);
  } else if (code == 2) {  // the file failed: not again until it changes
    SaveFailedStamp(output, stamp);
  }
  return code;
}

void TWatch::Work()
{
  for (;;) {
    std::string input;
    {
      std::unique_lock<std::mutex> lock(FLock);
      FWake.wait(lock, [this] { return FStop.load() != 0 || !FQueue.empty(); });
      if (FStop.load() != 0) return;  // what waits is left for the next start
      input = std::move(FQueue.front());
      FQueue.pop_front();
    }
    const int code = ConvertOne(input);
    std::lock_guard<std::mutex> lock(FLock);
    FBusy.erase(input);
    if (code == 1) FReportFailed = true;
  }
}

void TWatch::Enqueue(const std::string &AInput)
{
  std::lock_guard<std::mutex> lock(FLock);
  FBusy.insert(AInput);
  FQueue.push_back(AInput);
  FWake.notify_one();
}

int TWatch::Run()
{
  if (!CanStart()) return 1;
  TFolderWatch watch(FSettings.Folder, FSettings.Recursive, FSettings.Settle);
  int done = 0, failed = 0;
  std::string error;
  const bool opened = watch.Open(
      [&](const std::string &APath) {
        switch (VerdictOf(APath)) {
          case wvDone: ++done; return false;
          case wvFailedBefore: ++failed; return false;
          default: return true;
        }
      },
      error);
  if (!opened) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::fprintf(stderr, "Watching '%s'%s: %d file%s converted before, %d failed before and unchanged, %zu to convert\n",
               FSettings.Folder.c_str(), FSettings.Recursive ? " and its subfolders" : "", done, done == 1 ? "" : "s",
               failed, watch.Waiting());

  std::vector<std::thread> workers;
  for (int i = 0; i < FSettings.Batch.Jobs; ++i) workers.emplace_back([this] { Work(); });
  int code = 0;
  while (FStopSignal.load() == 0) {
    {
      std::lock_guard<std::mutex> lock(FLock);
      if (FReportFailed) {
        code = 1;
        break;
      }
    }
    // Woken by an event, a file's settle time or, at the latest, to look at
    // the stop signal.
    const int next = watch.MillisToNextSettle();
    pollfd p{watch.Fd(), POLLIN, 0};
    poll(&p, 1, next < 0 || next > 50 ? 50 : next);
    if (!watch.ReadEvents()) {
      std::fprintf(stderr, "The folder '%s' is gone\n", FSettings.Folder.c_str());
      code = 1;
      break;
    }
    for (const std::string &path : watch.TakeSettled()) {
      bool busy;
      {
        std::lock_guard<std::mutex> lock(FLock);
        busy = FBusy.count(path) > 0;
      }
      if (busy)
        watch.Recheck(path);  // written again while it waits or converts
      else if (VerdictOf(path) == wvConvert)
        Enqueue(path);
    }
  }
  {
    std::lock_guard<std::mutex> lock(FLock);
    FStop = FStopSignal.load() != 0 ? FStopSignal.load() : SIGTERM;
    FWake.notify_all();
  }
  for (auto &w : workers) w.join();
  const size_t left = FQueue.size() + watch.Waiting();
  std::fprintf(stderr, "Stopped watching '%s'", FSettings.Folder.c_str());
  if (left > 0) std::fprintf(stderr, "; %zu file%s left for the next start", left, left == 1 ? "" : "s");
  std::fputc('\n', stderr);
  return code;
}
