// TCustomFFmpeg: the transcoding engine. Its public face is the job's
// settings (filled by the option handlers), its input and output file
// tables, the event slots, the life cycle (Prepare, Start, Run, Stop,
// ReleaseJob) and the last run's report. What the configuration makes of the
// options and files is a job description (Job.h, read through Job()); a
// run is an object of its own (run/Run.h) made from the settings and the
// job, which owns the run's working state (stream records, pipeline, clocks).
//
// Files: FFmpeg.cpp (life cycle), OutputFate.cpp (every output file's fate)
// and FrameHook.cpp here; the job's configuration in config/
// (OptionTable.cpp: option table, the handlers by topic in *Options.cpp;
// InputFile.cpp: inputs and codec helpers; OutputFile.cpp: outputs,
// OutputStreams.cpp: their streams; Targets.cpp: disc presets); the run in
// run/ (Run.cpp: the run object and its services; TranscodeSetup.cpp,
// PacketLoop.cpp, Pipeline.cpp: jobs, stages and tickets, DropPredictor.cpp,
// the output paths VideoPath.cpp, AudioPath.cpp, SubtitlePath.cpp,
// PicturePrep.cpp (hooks before them), Report.cpp, EndCheck.cpp;
// Streams.h holds the run's records). docs/architecture.md maps them.
//
// A run on several cores (ThreadBudget above 1) is a pipeline:
//   run's thread   reads packets, corrects their timestamps, copies streams,
//                  decides which dropped pictures need no decoding, and
//                  writes every packet in job order (the writer);
//   video stage    decodes (on the codec's frame threads), runs the hooks,
//                  the video sync, crop, scale, pad and the encoder;
//   audio stage    decodes, converts, keeps the audio clock and encodes.
// Stages are joined to the run's thread by bounded queues of jobs; each job's
// packets wait in a ticket until the writer reaches it, so the muxer gets
// the same calls in the same order as on one thread and the file is the
// same byte for byte. The encoders' own threads never follow the budget (see
// run/CodecThreads.h). Runs whose loop decisions depend on how far the stages have
// got (frame, time or size limits, several inputs, a borrowed clock) keep
// their stages on the run's thread. See run/Pipeline.h.
//
// Ownership: the engine owns its file tables (input and output contexts),
// the job (FLV sources, decoder and encoder set-ups, the generic option
// contexts) and, while one exists, the run. The run takes each decoder
// context into its input stream's record and each re-encoded stream's
// encoder into its output path, which also owns its scaler, resampler,
// FIFO and two-pass log. ReleaseJob and the
// destructor free the rest; OutputFate.h decides what becomes of each
// output file.
// Threads: configuration (options, files) runs on the caller's thread while
// no run exists. A run executes on the worker thread created by Start (or on
// the caller's thread). Stop may be called from any thread at any time, and
// OwnsThread too. OnProgress and OnTerminate are raised on the run's thread;
// OnBeforeHook and OnCustomHook on the video stage's (one picture at a time,
// in order); OnLog on whichever of the run's threads has something to say,
// so its handler must be thread-safe. Destruction waits for the worker.
// Failure: configuration handlers raise FFMpegException (or EConvertError,
// EAssertionFailed); file operations return false and leave the text in
// LastOptionError; Run never throws: it logs the error at level -1, sets
// ExceptionRaised and LastErrorMessage, releases the job and notifies.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AVPtr.h"
#include "EngineLimits.h"
#include "Errors.h"
#include "FlvSource.h"
#include "HookBitmap.h"
#include "Job.h"
#include "OutputFate.h"

class TCustomFFmpeg;
class TFFmpegThread;
class TFrameHookChain;
struct TInputStream;
struct TOutputStream;
namespace engine {
struct THookLinks;
class TRun;
class TRunEvents;
}  // namespace engine

enum THookAction { haContinue, haIgnore, haStop };

enum TConvertPriority { tpIdle, tpLowest, tpLower, tpNormal };

struct THookRange {
  int64_t StartPts = 0;  // µs
  int64_t EndPts = 0;    // µs, not below StartPts
};

// Something a finished run must tell besides "done": the input ended before
// the length known at its start, a read error cut it, or its reader dropped
// data. Code: stable, lower case with dashes; Text: one line for people.
struct TRunWarning {
  std::string Code;
  std::string Text;
};

using TLogSlot = std::function<void(TCustomFFmpeg *ASender, int ALevel, const std::string &AMsg)>;
using TProgressSlot =
    std::function<void(TCustomFFmpeg *ASender, int AFrameNumber, int AFPS, int ACurrentDuration, float AQuality,
                       float ABitRate, int64_t ACurrentSize, int ATotalOutputDuration)>;
using TTerminateSlot = std::function<void(TCustomFFmpeg *ASender)>;
using TBeforeHookSlot = std::function<void(TCustomFFmpeg *ASender, THookAction &AHookAction, int64_t APTS)>;
using TCustomHookSlot = std::function<void(TCustomFFmpeg *ASender, THookBitmap *ABitmap, int AFrameNumber,
                                           int64_t APTS, bool &AUpdate, bool &AStopHook)>;

// Job settings with their defaults; ResetOptions restores exactly these.
// Owned pointers (matrices, statistics file) are released by ReleaseJob.
struct TFFmpegSettings {
  // ---- settings: formats and input handling ----
  const AVInputFormat *InputFormat = nullptr;
  const AVOutputFormat *OutputFormat = nullptr;
  int32_t PgmyuvHack = 0;
  int32_t LoopInput = 0;
  int32_t LoopOutput = -1;
  int64_t InputTsOffset = 0;
  int32_t RateEmu = 0;
  int32_t ProgramId = 0;
  int32_t InputSync = 0;
  // video geometry and codec
  int32_t FrameWidth = 0, FrameHeight = 0;
  float FrameAspectRatio = 0;
  int32_t FramePixFmt = -1;
  int32_t FrameTopBand = 0, FrameBottomBand = 0, FrameLeftBand = 0, FrameRightBand = 0;
  int32_t FramePadTop = 0, FramePadBottom = 0, FramePadLeft = 0, FramePadRight = 0;
  int32_t PadColor[3] = {16, 128, 128};
  AVRational FrameRate{0, 0};
  float VideoQScale = 0;
  uint16_t *IntraMatrix = nullptr;  // av_malloc'ed, 64 entries
  uint16_t *InterMatrix = nullptr;
  std::string VideoRcOverride;
  int32_t VideoDisable = 0;
  int32_t VideoDiscard = 0;
  std::string VideoCodecName;  // empty: none
  int32_t VideoCodecTag = 0;
  int32_t SameQuality = 0;
  int32_t DoDeinterlace = 0;
  int32_t TopFieldFirst = -1;
  int32_t MeThreshold = 0;
  int32_t IntraDcPrecision = 8;
  int32_t IntraOnly = 0;
  int32_t QpHist = 0;
  int32_t VideoChannel = 0;
  std::string VideoStandard;
  int32_t VideoGlobalHeader = 0;
  int32_t VideoSyncMethod = -1;
  // audio and subtitles
  int32_t AudioSampleRate = 44100;
  int32_t AudioChannels = 2;
  float AudioQScale = -99999.0f;
  int32_t AudioDisable = 0;
  std::string AudioCodecName;
  int32_t AudioCodecTag = 0;
  std::string AudioLanguage;
  int32_t AudioVolume = 256;
  int32_t AudioSyncMethod = 0;
  float AudioDriftThreshold = 0.1f;
  int32_t SubtitleDisable = 0;
  std::string SubtitleCodecName;
  std::string SubtitleLanguage;
  int32_t AudioStreamCopy = 0, VideoStreamCopy = 0, SubtitleStreamCopy = 0;
  // timing, limits, muxing
  int64_t RecordingTime = INT64_MAX;
  int64_t StartTime = 0;
  int64_t RecTimestamp = 0;
  int64_t LimitFileSize = 0;
  int32_t TotalDuration = -1;  // ms
  int32_t MaxFrames[4] = {INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX};
  float MuxPreload = 0.5f;
  float MuxMaxDelay = 0.7f;
  int32_t CopyTs = 0;
  int32_t Shortest = 0;
  float DtsDeltaThreshold = 10.0f;
  // metadata for new output files
  std::string Title, Author, Copyright, Comment, Genre, Album;
  int32_t Year = 0, Track = 0;
  // diagnostics and two-pass
  int32_t Verbose = 1;
  int32_t DoPktDump = 0, DoHexDump = 0;
  int32_t DoPsnr = 0;
  std::string VstatsFileName;
  FILE *VstatsFile = nullptr;
  int32_t DoPass = 0;
  std::string PassLogFileName;
  int32_t ThreadCount = 1;
  int32_t SwsFlags = 4;  // bicubic

};

class TCustomFFmpeg : public TFFmpegSettings {
 public:
  TCustomFFmpeg();
  virtual ~TCustomFFmpeg();
  TCustomFFmpeg(const TCustomFFmpeg &) = delete;
  TCustomFFmpeg &operator=(const TCustomFFmpeg &) = delete;

  // ---- life cycle (FFmpeg.cpp) ----
  void Prepare();
  void ResetOptions();
  // Threaded: returns the suspended worker (the caller resumes it), or null
  // when nothing was started. Not threaded: runs the job and returns null.
  TFFmpegThread *Start(bool AThreaded, TConvertPriority APriority = tpNormal);
  void Run();
  void Stop();
  void StopOrTerminate();
  void NotifyTerminate();
  void ReleaseJob();
  // Blocks until a worker or terminate thread of this engine has ended.
  void WaitForThread();
  // True when ATid is the run's thread or one of its stage threads.
  bool OwnsThread(pid_t ATid) const;
  // The cores a run may keep busy (at least 1). With 1 every stage runs on
  // the run's thread; with more, decoding uses the codec's own threads and
  // the audio and video paths get threads of their own. The output is the
  // same whatever the budget.
  int32_t ThreadBudget() const { return FThreadBudget; }
  // Pictures the video sync would drop and no other picture refers to are
  // not decoded at all (see run/DropPredictor.h); false decodes every one.
  // The output is the same either way.
  bool PredictDrops = true;
  int64_t PicturesSkipped = 0;  // of the last run: dropped without being decoded
  void SetThreadBudget(int32_t AValue) { FThreadBudget = AValue < 1 ? 1 : AValue; }

  // ---- options (OptionTable.cpp; handlers in config/*Options.cpp) ----
  void SetOption(const std::string &AName, const std::string &AValue);
  bool SetGenericOption(const std::string &AName, const std::string &AValue);
  bool SetGenericOption(const std::string &AName, int32_t AValue);
  // True for the options of the table that take no value (flags, no-ops, "vstats", "new*").
  static bool OptionTakesNoValue(const std::string &AName);
  void SetInputFormat(const std::string &AName);
  void SetOutputFormat(const std::string &AName);
  void SetFormat(const std::string &AName);
  void SetFrameRate(const std::string &AValue);
  void SetFrameSize(const std::string &AValue);
  void SetFrameAspectRatio(const std::string &AValue);
  void SetFramePixFmt(const std::string &AValue);
  void SetFrameCropTop(int32_t AValue);
  void SetFrameCropBottom(int32_t AValue);
  void SetFrameCropLeft(int32_t AValue);
  void SetFrameCropRight(int32_t AValue);
  void SetFramePadTop(int32_t AValue);
  void SetFramePadBottom(int32_t AValue);
  void SetFramePadLeft(int32_t AValue);
  void SetFramePadRight(int32_t AValue);
  void SetPadColor(int32_t AValue);
  void SetQScale(float AValue);
  void SetBitRate(const std::string &AName, const std::string &AValue);
  void SetVideoCodec(const std::string &AValue);
  void SetAudioCodec(const std::string &AValue);
  void SetSubtitleCodec(const std::string &AValue);
  void SetVideoTag(const std::string &AValue);
  void SetAudioTag(const std::string &AValue);
  void SetRecordingTime(const std::string &AValue);
  void SetRecordingTimeMs(int64_t AMilliseconds);
  void SetStartTimeText(const std::string &AValue);
  void SetInputTsOffsetText(const std::string &AValue);
  void SetRecTimestampText(const std::string &AValue);
  void SetStreamMap(const std::string &AValue);
  void SetMetaDataMap(const std::string &AValue);
  void SetInputTsScale(const std::string &AValue);
  void SetVerbose(int32_t AValue);
  void SetPass(int32_t AValue);
  void SetMatrix(const std::string &AValue, bool AIntra);
  void SetVstats();
  void SetVstatsFile(const std::string &AValue);
  void SetTitle(const std::string &AValue);
  void SetAuthor(const std::string &AValue);
  void SetCopyright(const std::string &AValue);
  void SetComment(const std::string &AValue);
  void SetGenre(const std::string &AValue);
  void SetAlbum(const std::string &AValue);
  // plain setters used by the component
  void SetAudioVolume(int32_t AValue);
  void SetAudioSyncMethod(int32_t AValue);
  void SetVideoSyncMethod(int32_t AValue);
  void SetMuxMaxDelay(float AValue);
  void SetMuxPreload(float AValue);
  void SetTrack(int32_t AValue);
  void SetYear(int32_t AValue);
  void SetStartTime(int64_t AMicroseconds);
  void SetProgramId(int32_t AValue);
  void SetAudioSampleRate(int32_t AValue);
  void SetAudioChannels(int32_t AValue);

  // ---- targets (Targets.cpp) ----
  void SetTarget(const std::string &AText);
  void ApplyTarget(const std::string &ATargetType, const std::string &ANorm, const std::string &ADefaultNorm);

  // ---- input files and codec helpers (InputFile.cpp) ----
  bool OpenInputFile(const std::string &AFileName);
  // Codec id by name (aliases for retired names included); AId 0 for no name.
  bool FindCodec(const std::string &AName, AVMediaType AKind, bool AEncoder, AVCodecID &AId);
  void ApplyGenericOptions(void *AContext, void *ADefaults, int AFlags);
  static std::string InputOpenErrorText(const std::string &AFileName, int AErrorCode);
  void CheckInputStreamKinds(bool &AHasVideo, bool &AHasAudio, bool &AHasSubtitle);

  // ---- output files (OutputFile.cpp; streams in OutputStreams.cpp) ----
  // Refuses a name that is one of the open inputs (the same file by device
  // and inode, however it is spelled or linked), before anything is opened
  // for writing: "Output file '...' is the same as input '...'".
  bool OpenOutputFile(const std::string &AFileName);
  // The open input that AFileName names, or empty when none does (or when it
  // does not exist yet).
  std::string InputSameAs(const std::string &AFileName) const;
  void NewVideoStream(int AFileIndex);
  void NewAudioStream(int AFileIndex);
  void NewSubtitleStream(int AFileIndex);
  // The encoder a new stream of AKind gets: the one named, or the output
  // format's own when no name is given. Fails before anything is created.
  void FindStreamEncoder(const AVFormatContext *AOc, AVMediaType AKind, const std::string &AName, AVCodecID &AId,
                         const AVCodec *&ACodec);
  // Adds a stream of AKind to output file AFileIndex, its encoder context
  // owned by the stream's set-up from the start, so no later failure leaves
  // a stream without one.
  AVStream *AddEncodedStream(int AFileIndex, AVFormatContext *AOc, const AVCodec *ACodec, AVMediaType AKind);

  // ---- frame hooks (FrameHook.cpp) ----
  void AddFrameHook(const std::string &AArgs);
  void RunFrameHooks(uint8_t *AData[4], int ALineSize[4], AVPixelFormat APixFmt, int AWidth, int AHeight,
                     int64_t APts);
  void ReleaseFrameHooks();

  // ---- event slots ----
  TLogSlot OnLog;
  TProgressSlot OnProgress;
  TTerminateSlot OnTerminate;
  TBeforeHookSlot OnBeforeHook;
  TCustomHookSlot OnCustomHook;

  // ---- life-cycle state ----
  std::atomic<TFFmpegThread *> Thread{nullptr};
  std::atomic<bool> Running{false};
  std::atomic<bool> StopRequested{false};
  std::atomic<bool> Finished{false};
  std::atomic<bool> Terminated{false};
  std::atomic<bool> ExceptionRaised{false};
  std::string LastErrorMessage;
  std::string LastOptionError;
  // Filled by a run that finishes (see TRunWarning) before OnTerminate is
  // raised, on the run's thread; read it in OnTerminate or once the run is
  // over. Cleared when a run starts.
  std::vector<TRunWarning> RunWarnings;
  int64_t ProgressInterval = 500000;

  // The opened input's demuxer context (its streams and length), or null
  // when there is no such input. What callers describing a source use.
  const AVFormatContext *InputContext(int AIndex) const {
    return AIndex >= 0 && AIndex < InputFileCount ? InputFiles[AIndex] : nullptr;
  }

  // The FLV source of input AIndex (our own reader's description of the
  // file, its findings included), or null for another kind of input or no
  // such input.
  const flv::TFlvSource *FlvInput(int AIndex) const {
    return AIndex >= 0 && AIndex < InputFileCount ? FJob.FlvInputs[AIndex].get() : nullptr;
  }
  // The job the options and files have described so far, read-only; what
  // the next run is made from.
  const engine::TJob &Job() const { return FJob; }

  // ---- file tables ----
  AVFormatContext *InputFiles[MaxFiles] = {};
  int32_t InputFileCount = 0;
  AVFormatContext *OutputFiles[MaxFiles] = {};
  int32_t OutputFileCount = 0;

  std::atomic<bool> UsingVhook{false};  // at least one frame hook is loaded and active

  // ---- the last run's report ----
  // Written by the run's writer (on the run's thread) as each job's packets
  // reach the muxer; read them in OnProgress, OnTerminate or once the run is
  // over. Each run starts them at 0.
  int64_t VideoSize = 0, AudioSize = 0, ExtraSize = 0;
  int32_t FramesDup = 0, FramesDrop = 0;
  // The largest video output picture's worst case (4 bytes a pixel, stream
  // copies included) seen by a set-up, at least 256 KiB; ResetOptions
  // restores 256 KiB. The encoders hand out packets of their own, so no
  // buffer of this size is made: it is a figure for callers sizing theirs.
  int32_t BitBufferSize = 262144;
  // Reports per quantiser ("qphist"), of this engine's reports only.
  std::array<int32_t, 52> QpHistogram{};

  // ---- frame-hook state ----
  // The pictures' working state (buffers, bitmap, picture count) is the
  // run's own: see run/PicturePrep.h.
  std::unique_ptr<TFrameHookChain> FrameHooks;
  THookAction HookAction = haContinue;
  std::vector<THookRange> HookRanges;
  int32_t HookRangeIndex = 0;
  int32_t HookRangeCount = 0;

 protected:
  // Raises FFMpegException with AMsg.
  [[noreturn]] void Fail(const std::string &AMsg) const;
  void Log(int ALevel, const std::string &AMsg);
  // Logs AMsg at level 1 the first time this job meets AKey (FallbacksReported).
  void ReportOnce(const std::string &AKey, const std::string &AMsg);
  // A format name as the libraries know it: the retired "pgmyuv" becomes "image2".
  std::string FormatName(const std::string &AName);

  // ---- the run (run/Run.h) ----
  // Makes the run from the settings and the job and executes it; the run
  // stays until DropRun, so that a failure is logged before it goes.
  void Transcode();
  // Stops the run's stages, closes its codecs and drops it; nothing when no run exists.
  void DropRun();
  // What the pictures' pre-processing borrows of this engine (run/PicturePrep.h).
  engine::THookLinks HookLinks();

  TConvertPriority RunPriority = tpNormal;

 private:
  friend class TFFmpegThread;
  // The job being described (config/ writes it) and then run.
  engine::TJob FJob;
  // Retired or private option names already reported once by this engine.
  std::vector<std::string> FallbacksReported;
  // The run (run/Run.h): made by Transcode, dropped by DropRun.
  std::unique_ptr<engine::TRun> FRun;
  // What the run tells the engine: the log, progress, the report's fields.
  std::unique_ptr<engine::TRunEvents> FRunEvents;
  // Guards the FRun pointer, which OwnsThread reads from any thread.
  mutable std::mutex FPipelineLock;
  int32_t FThreadBudget = 1;
  std::unique_ptr<TFFmpegThread> FWorker;     // the run's thread, joined before the engine goes
  std::thread FTerminateThread;               // StopOrTerminate's one-shot notifier
  std::recursive_mutex FThreadLock;           // guards FWorker / FTerminateThread creation and joining
};
