// Life cycle of the engine: create, prepare, start, run, stop, release.
#include "FFmpeg.h"

#include <sys/stat.h>
#include <unistd.h>

#include "FFmpegThread.h"
#include "FrameHook.h"
#include "LibLoader.h"
#include "MyUtilHlpr.h"
#include "PicturePrep.h"
#include "Run.h"

namespace {

// The engine's side of its run's events: its slots, its stop flag and its
// report's public fields.
class TEngineRunEvents final : public engine::TRunEvents {
 public:
  explicit TEngineRunEvents(TCustomFFmpeg &AEngine) : FEngine(AEngine) {}
  void Log(int ALevel, const std::string &AMsg) override
  {
    if (FEngine.OnLog) FEngine.OnLog(&FEngine, ALevel, AMsg);
  }
  bool Listening() const override { return static_cast<bool>(FEngine.OnLog); }
  bool WantsProgress() const override { return static_cast<bool>(FEngine.OnProgress); }
  void Progress(const engine::TProgress &P) override
  {
    FEngine.OnProgress(&FEngine, P.FrameNumber, P.Fps, P.CurrentDuration, P.Quality, P.BitRate, P.CurrentSize,
                       P.TotalOutputDuration);
  }
  bool StopRequested() const override { return FEngine.StopRequested; }
  void Warn(const std::string &ACode, const std::string &AText) override
  {
    FEngine.RunWarnings.push_back({ACode, AText});
  }
  void Counted(const engine::TRunReport &R) override
  {
    FEngine.VideoSize = R.VideoSize;
    FEngine.AudioSize = R.AudioSize;
    FEngine.ExtraSize = R.ExtraSize;
    FEngine.FramesDup = R.FramesDup;
    FEngine.FramesDrop = R.FramesDrop;
    FEngine.PicturesSkipped = R.PicturesSkipped;
    FEngine.QpHistogram = R.QpHistogram;
    FEngine.BitBufferSize = R.BitBufferSize;
  }
  bool CustomHookSet() const override { return static_cast<bool>(FEngine.OnCustomHook); }
  bool FrameHooksLoaded() const override { return FEngine.UsingVhook; }
  void ScalerFlagsSettled(int32_t AFlags) override { FEngine.SwsFlags = AFlags; }

 private:
  TCustomFFmpeg &FEngine;
};

}  // namespace

TCustomFFmpeg::TCustomFFmpeg() : FRunEvents(std::make_unique<TEngineRunEvents>(*this)) { ResetOptions(); }

TCustomFFmpeg::~TCustomFFmpeg()
{
  Stop();
  // Wait for the worker however long it takes: releasing the job under a
  // running thread would free what it still uses.
  WaitForThread();
  ReleaseJob();
}

void TCustomFFmpeg::WaitForThread()
{
  std::unique_ptr<TFFmpegThread> worker;
  std::thread notifier;
  {
    std::lock_guard<std::recursive_mutex> lock(FThreadLock);
    if (FWorker && FWorker->IsCurrentThread()) return;  // called from our own run: nothing to wait for
    if (FTerminateThread.joinable() && FTerminateThread.get_id() == std::this_thread::get_id()) return;
    worker = std::move(FWorker);
    notifier = std::move(FTerminateThread);
  }
  worker.reset();  // resumes a suspended thread and joins it
  if (notifier.joinable()) notifier.join();
}

void TCustomFFmpeg::Prepare()
{
  if (!AVLibsLoaded()) return;
  // A worker that was created but never resumed would otherwise run its
  // whole job here when it is released: ask it to stop first.
  Stop();
  WaitForThread();
  ReleaseJob();
  ResetOptions();
  Running = false;
  StopRequested = false;
  Finished = false;
  Terminated = false;
  RunWarnings.clear();
  TotalDuration = -1;
  for (int t = 0; t < 5; ++t) FJob.CodecOpts[t] = AVCodecLib.avcodec_alloc_context3(nullptr);
  FJob.FormatOpts = AVFormatLib.avformat_alloc_context();
  FJob.SwsOpts = SwScaleLib.sws_getContext(16, 16, AV_PIX_FMT_YUV420P, 16, 16, AV_PIX_FMT_YUV420P, SwsFlags, nullptr,
                                   nullptr, nullptr);
}

void TCustomFFmpeg::ResetOptions()
{
  if (AVLibsLoaded()) {
    AVUtilLib.av_freep(&IntraMatrix);
    AVUtilLib.av_freep(&InterMatrix);
  }
  if (VstatsFile && MyUtilLoaded()) MyUtilLib.my_fclose(VstatsFile);
  static_cast<TFFmpegSettings &>(*this) = TFFmpegSettings{};
  InputFileCount = 0;
  OutputFileCount = 0;
  FJob.StreamMapCount = 0;
  FJob.MetaDataMapCount = 0;
  for (auto &file : FJob.InputTsScales)
    for (double &scale : file) scale = 0;
  for (auto &offset : FJob.InputTsOffsets) offset = 0;
  UsingVhook = false;
  BitBufferSize = 262144;
  HookAction = haContinue;
  HookRanges.clear();
  HookRangeIndex = 0;
  HookRangeCount = 0;
  TotalDuration = -1;
  ExceptionRaised = false;
}

TFFmpegThread *TCustomFFmpeg::Start(bool AThreaded, TConvertPriority APriority)
{
  if (Running || Terminated) return nullptr;
  try {
    if (OutputFileCount <= 0) {
      ReleaseJob();
      Fail("Must supply at least one output file");
    }
    if (InputFileCount == 0) {
      ReleaseJob();
      Fail("Must supply at least one input file");
    }
  } catch (const std::exception &e) {
    Log(-1, e.what());
    ExceptionRaised = true;
    LastErrorMessage = e.what();
    NotifyTerminate();
    return nullptr;
  }
  Running = true;
  StopRequested = false;
  Finished = false;
  Terminated = false;
  RunWarnings.clear();
  // What the run's stage threads apply on top of what they inherit from the
  // run's thread: a worker has lowered its own priority already, and the
  // stages it creates inherit it (lowering again would count it twice).
  RunPriority = AThreaded ? tpNormal : APriority;
  if (!AThreaded) {
    Run();
    return nullptr;
  }
  std::lock_guard<std::recursive_mutex> lock(FThreadLock);
  if (FTerminateThread.joinable()) FTerminateThread.join();
  FWorker = std::make_unique<TFFmpegThread>(this, APriority);
  Thread = FWorker.get();
  return FWorker.get();
}

void TCustomFFmpeg::Run()
{
  Finished = false;
  try {
    Transcode();
  } catch (const std::exception &e) {
    Log(-1, e.what());
    ExceptionRaised = true;
    LastErrorMessage = e.what();
  } catch (...) {
    Log(-1, "Unknown error");
    ExceptionRaised = true;
    LastErrorMessage = "Unknown error";
  }
  DropRun();  // no stage may still use a codec or a table
  ReleaseJob();
  NotifyTerminate();
}

void TCustomFFmpeg::Transcode()
{
  if (StopRequested) return;  // stopped before it began: nothing to set up or write
  engine::TRunReport report;
  report.QpHistogram = QpHistogram;  // the histogram counts over this engine's reports
  report.BitBufferSize = BitBufferSize;
  const engine::TRunFiles files{InputFiles, InputFileCount, OutputFiles, OutputFileCount};
  const engine::TRunParams params{FThreadBudget, RunPriority, PredictDrops, ProgressInterval};
  auto run = std::make_unique<engine::TRun>(HookLinks(), *this, FJob, files, *FRunEvents, params, report);
  {
    std::lock_guard<std::mutex> lock(FPipelineLock);
    FRun = std::move(run);
  }
  Finished = FRun->Execute();
}

engine::THookLinks TCustomFFmpeg::HookLinks()
{
  engine::THookLinks links;
  links.Sender = this;
  links.OnBeforeHook = &OnBeforeHook;
  links.OnCustomHook = &OnCustomHook;
  links.UsingVhook = &UsingVhook;
  links.HookAction = &HookAction;
  links.HookRanges = &HookRanges;
  links.HookRangeIndex = &HookRangeIndex;
  links.HookRangeCount = &HookRangeCount;
  links.Deinterlace = DoDeinterlace != 0;
  links.RunFrameHooks = [this](uint8_t *AData[4], int ALineSize[4], AVPixelFormat APixFmt, int AWidth, int AHeight,
                               int64_t APts) { RunFrameHooks(AData, ALineSize, APixFmt, AWidth, AHeight, APts); };
  links.Log = [this](int ALevel, const std::string &AMsg) { Log(ALevel, AMsg); };
  return links;
}

void TCustomFFmpeg::DropRun()
{
  if (!FRun) return;
  // Its stages are joined first: they may still hand packets to the run.
  FRun->Abandon();
  std::lock_guard<std::mutex> lock(FPipelineLock);
  FRun.reset();
}

bool TCustomFFmpeg::OwnsThread(pid_t ATid) const
{
  if (ATid == 0) return false;
  if (TFFmpegThread *t = Thread.load(); t && t->ThreadId() == ATid) return true;
  std::lock_guard<std::mutex> lock(FPipelineLock);
  return FRun && FRun->OwnsThread(ATid);
}

void TCustomFFmpeg::Stop()
{
  StopRequested = true;
  if (TFFmpegThread *t = Thread.load(); t && t->Suspended()) t->Resume();
}

void TCustomFFmpeg::StopOrTerminate()
{
  if (Running) {
    Stop();
    return;
  }
  if (Terminated) return;
  std::lock_guard<std::recursive_mutex> lock(FThreadLock);
  if (FTerminateThread.joinable()) return;  // already reporting
  // A task that never ran still reports its end, from a short-lived idle thread.
  FTerminateThread = std::thread([this] {
    TFFmpegThread::ApplyPriority(tpIdle);
    NotifyTerminate();
  });
}

void TCustomFFmpeg::NotifyTerminate()
{
  Running = false;
  Terminated = true;
  Thread = nullptr;
  if (OnTerminate) OnTerminate(this);
}

void TCustomFFmpeg::ReleaseJob()
{
  if (!AVLibsLoaded()) return;
  for (auto &ctx : FJob.CodecOpts) AVCodecLib.avcodec_free_context(&ctx);
  if (FJob.FormatOpts) {
    AVFormatLib.avformat_free_context(FJob.FormatOpts);
    FJob.FormatOpts = nullptr;
  }
  if (FJob.SwsOpts) {
    SwScaleLib.sws_freeContext(FJob.SwsOpts);
    FJob.SwsOpts = nullptr;
  }
  for (int i = 0; i < OutputFileCount; ++i) {
    AVFormatContext *oc = OutputFiles[i];
    if (!oc) continue;
    engine::EndOutputFiles(&oc, &FJob.OutputSetups[i].File, 1, engine::TOutputEnd::Released);
    for (auto &st : FJob.OutputSetups[i].Streams) {
      if (st.Enc) AVUtilLib.av_freep(&st.Enc->stats_in);  // the library leaves it to us
      st = TOutputStreamSetup{};
    }
    FJob.OutputSetups[i].MuxOpts.Clear();
    FJob.OutputSetups[i].File = engine::TOutputFileFacts{};
    AVFormatLib.avformat_free_context(oc);
    OutputFiles[i] = nullptr;
  }
  OutputFileCount = 0;
  for (int i = 0; i < InputFileCount; ++i) {
    FJob.InputSetups[i].Dec.clear();
    FJob.InputSetups[i].RateEmu = 0;
    if (FJob.FlvInputs[i]) {
      FJob.FlvInputs[i].reset();
      InputFiles[i] = nullptr;
    } else {
      AVFormatLib.avformat_close_input(&InputFiles[i]);
    }
  }
  InputFileCount = 0;
  AVUtilLib.av_freep(&IntraMatrix);
  AVUtilLib.av_freep(&InterMatrix);
  if (VstatsFile) {
    MyUtilLib.my_fclose(VstatsFile);
    VstatsFile = nullptr;
  }
  VstatsFileName.clear();
  FJob.OptNames.clear();
  FJob.PrivateOpts.clear();
  FallbacksReported.clear();
  VideoCodecName.clear();
  AudioCodecName.clear();
  SubtitleCodecName.clear();
  VideoStandard.clear();
  VideoRcOverride.clear();
  AudioLanguage.clear();
  SubtitleLanguage.clear();
  ReleaseFrameHooks();
}

void TCustomFFmpeg::Fail(const std::string &AMsg) const { throw FFMpegException(AMsg); }

void TCustomFFmpeg::Log(int ALevel, const std::string &AMsg)
{
  if (OnLog) OnLog(this, ALevel, AMsg);
}
