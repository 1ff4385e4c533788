// One run of a job: made by the engine from its settings, its job
// description and its file tables when a conversion starts, and dropped when
// it ends. It owns the run's working state (the records of the input files
// and streams, one record per output path, the pipeline with its stage
// threads, the drop predictors, the clocks and the report's counters) and
// does the run: the set-up (TranscodeSetup.cpp), the packet loop, dispatch,
// decoding and the writer (PacketLoop.cpp), the report (Report.cpp) and the
// end checks (EndCheck.cpp). It tells the engine what happens through
// TRunEvents, and knows nothing else of the engine.
//
// Decoder contexts are taken from the job's input set-ups into the input
// stream records and owned there: one input stream may feed several output
// paths, so its decoder belongs to the stream, not to a path.
//
// Ownership: owns the stream records (and through them each path's
// resources and each decoder), the pipeline and the statistics file it
// opened. Borrows the settings, the job, the file tables and the events,
// which outlive it, and through the hook links the engine's hook events
// and settings the pictures' pre-processing works with. Each re-encoded
// stream's encoder is its output path's from the set-up on.
// Threads: made, run and dropped on the run's thread. While the pipeline
// runs, each stream record belongs to the job of its stream (see Streams.h).
// OwnsThread may be called from any thread (the pipeline lock guards the
// pipeline); the path services from the job running the path.
// Failure: the set-up, the loop and the end raise FFMpegException; the
// destructor stops the pipeline, closes the codecs it opened and frees the
// records, whatever state a failure left.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "DropPredictor.h"
#include "FFmpeg.h"
#include "Job.h"
#include "PathServices.h"
#include "PicturePrep.h"
#include "Pipeline.h"
#include "Streams.h"

namespace engine {

// The last run's figures the engine reports (see TCustomFFmpeg's report).
struct TRunReport {
  int64_t VideoSize = 0, AudioSize = 0, ExtraSize = 0;
  int32_t FramesDup = 0, FramesDrop = 0;
  int64_t PicturesSkipped = 0;
  std::array<int32_t, 52> QpHistogram{};
  // The largest picture's worst case (4 bytes a pixel) of the video outputs
  // set up so far; never lowered.
  int32_t BitBufferSize = 262144;
};

// One progress report's values (see TProgressSlot).
struct TProgress {
  int FrameNumber = -1;
  int Fps = -1;
  int CurrentDuration = 0;  // ms
  float Quality = -1.0f;
  float BitRate = 0;
  int64_t CurrentSize = 0;
  int TotalOutputDuration = -1;  // ms, -1 unknown
};

// What a run tells its engine, and the few things it asks of it. Called on
// the run's thread, except Log and StopRequested (any of the run's threads).
class TRunEvents {
 public:
  virtual ~TRunEvents() = default;
  virtual void Log(int ALevel, const std::string &AMsg) = 0;
  // True when someone reads the log (texts that cost work are made only then).
  virtual bool Listening() const = 0;
  // True when progress goes to a listener rather than to the log.
  virtual bool WantsProgress() const = 0;
  virtual void Progress(const TProgress &AProgress) = 0;
  virtual bool StopRequested() const = 0;
  // Something a finished run must tell besides "done" (see TRunWarning).
  virtual void Warn(const std::string &ACode, const std::string &AText) = 0;
  // The report's counters changed.
  virtual void Counted(const TRunReport &AReport) = 0;
  // True when pictures go through the caller's hook, or through loaded frame hooks.
  virtual bool CustomHookSet() const = 0;
  virtual bool FrameHooksLoaded() const = 0;
  // A scaler made at the set-up settled the scaler flags: the setting
  // follows them, so later scalers use them too.
  virtual void ScalerFlagsSettled(int32_t AFlags) = 0;
};

// How the engine wants this run done (not settings of the job).
struct TRunParams {
  int32_t ThreadBudget = 1;
  TConvertPriority Priority = tpNormal;  // what stage threads apply on top of the run's thread's
  bool PredictDrops = true;
  int64_t ProgressInterval = 500000;  // µs
};

// The engine's file tables the run works on (the engine owns them).
struct TRunFiles {
  AVFormatContext **Inputs = nullptr;
  int32_t InputCount = 0;
  AVFormatContext **Outputs = nullptr;
  int32_t OutputCount = 0;
};

// Hands APkt (in AOst's stream time base) to the muxer of AOut, keeping
// decoding timestamps rising (a fall is mended, and told through ATell when
// AVerbose is above 2). Raises FFMpegException when the muxer fails.
void MuxPacket(AVFormatContext *AOut, AVPacket *APkt, TOutputStream &AOst, int AVerbose,
               const std::function<void(const std::string &)> &ATell);

class TRun final : public TPathServices {
 public:
  TRun(THookLinks AHookLinks, const TFFmpegSettings &ASettings, TJob &AJob, const TRunFiles &AFiles,
       TRunEvents &AEvents, const TRunParams &AParams, const TRunReport &AReport);
  ~TRun() override;
  TRun(const TRun &) = delete;
  TRun &operator=(const TRun &) = delete;

  // Set-up, loop and end; true when the run was not stopped.
  bool Execute();
  // Stops the stages (joining them), closes the codecs the run opened and
  // frees the records; what the destructor does, and safe to repeat.
  void Abandon();
  // True when ATid is one of the run's stage threads.
  bool OwnsThread(pid_t ATid) const;

  // ---- what the output paths ask of their run ----
  const TFFmpegSettings &Settings() const override { return FSettings; }
  void Log(int ALevel, const std::string &AMsg) override;
  void WritePacket(AVFormatContext *AOut, AVPacket *APkt, TOutputStream &AOst) override;
  double SyncInputTime(const TOutputStream &AOst, int64_t AStartTime) const override;
  void VideoStats(TOutputStream &AOst, int AFrameSize, int APictType, int AQuality) override;
  bool StopRequested() const override { return FEvents.StopRequested(); }

 private:
  [[noreturn]] static void Fail(const std::string &AMsg);

  // ---- set-up (TranscodeSetup.cpp) ----
  // The stream records, the mapping of outputs to inputs, each output's codec
  // parameters (a copy's, or an encoder's with its path and two-pass log),
  // encoders, decoders, the input clocks, metadata maps and headers.
  void TranscodeSetup();
  void MakeStreamTables();
  void MapOutputStreams();
  void SetupOutputCodec(TOutputStream &AOst, int AIndex);
  void SetupStreamCopy(TOutputStream &AOst, TInputStream &AIst);
  // Gives a re-encoded output its path (OutputPath.h) and sets it up; the
  // first video path also gets the run its pictures' pre-processing.
  void SetupOutputPath(TOutputStream &AOst, TInputStream &AIst, int AIndex);
  void OpenDecoder(TInputStream &AIst);
  void OpenEncoders();
  void OpenDecoders();
  void ResetInputClocks();
  void ApplyMetaDataMaps();
  void WriteHeaders();

  // ---- loop and end (PacketLoop.cpp) ----
  void TranscodeLoop();
  // The next packet of input AFileIndex, from its FLV source or its demuxer.
  int ReadInputPacket(int AFileIndex, AVPacket *APacket);
  void TranscodeEnd();
  void FreeRunTables();
  void CloseOpenCodecs();
  // True when this run may give its audio and video stages threads of their
  // own without changing a decision the run's thread takes.
  bool UseStageThreads() const;
  // The pipeline, made at the end of the set-up, stopped (its stage threads
  // joined) when the loop has written everything or the run fails.
  void StartPipeline();
  void StopPipeline();
  // The writer: a finished job's packets to the muxers, its counters to the
  // report (on the run's thread, in job order).
  void WriteTicket(TTicket &ATicket);
  // Hands a packet to the muxer, keeping decoding timestamps rising.
  void MuxPacket(AVFormatContext *AOut, AVPacket *APkt, TOutputStream &AOst);
  // Moves AIst's decode clock and hands the packet (null: the end) to its
  // copies and its decoding job.
  void DispatchPacket(TInputStream &AIst, int AIstIndex, const AVPacket *APkt);
  // The decoding job: returns 0, or -1 when a decoder fails. APkt null flushes.
  int DecodePacket(TInputStream &AIst, int AIstIndex, const AVPacket *APkt);
  // Runs one decoded audio or video frame through pre-processing and the output paths.
  void HandleDecodedFrame(TInputStream &AIst, int AIstIndex, AVFrame &AFrame);
  void FlushEncoders(TInputStream &AIst, int AIstIndex);
  void StreamCopyPacket(TInputStream &AIst, TOutputStream &AOst, const AVPacket &APkt);
  // Hands a packet to every output that copies AIst without re-encoding.
  void CopyPacketToOutputs(TInputStream &AIst, int AIstIndex, const AVPacket &APkt);
  // The discontinuity threshold in µs.
  int64_t DiscontinuityThreshold() const;
  // True when a packet of AIstIndex at ADts (µs; ADelta from the stream's
  // predicted time) means that the whole file's timestamps jumped.
  bool IsFileDiscontinuity(int AFileIndex, int AIstIndex, int64_t ADts, int64_t ADelta) const;
  // A packet's duration in µs: its own, else one audio frame or one picture; 0 when unknown.
  int64_t PacketDuration(const TInputStream &AIst, const AVPacket &APkt) const;
  void EmulateRate(TInputStream &AIst);
  // The conditions under which AIst's dropped pictures may go undecoded.
  bool MayPredictDrops(const TInputStream &AIst) const;
  // Hands a released packet to AIst's decoding job, or counts it dropped.
  void SubmitPicture(TInputStream &AIst, int AIstIndex, std::shared_ptr<AVPacket> APacket, bool ASkip, int64_t APts,
                     int64_t ADuration);

  // ---- report and end checks (Report.cpp, EndCheck.cpp) ----
  void PrintReport(bool AIsLastReport);
  // Notes where an input's reading got to (APkt as read, before any offset).
  void NoteInputReached(int AFileIndex, const AVPacket &APkt);
  // At the end of a finished run: warnings for inputs that ended early, were
  // cut by a read error or lost data.
  void CheckInputEnds();

  THookLinks FHookLinks;  // the engine's hook events and settings, for the pictures' pre-processing
  const TFFmpegSettings &FSettings;
  TJob &FJob;
  AVFormatContext **const FInputs;
  const int32_t FInputCount;
  AVFormatContext **const FOutputs;
  const int32_t FOutputCount;
  TRunEvents &FEvents;
  const TRunParams FParams;
  TRunReport FReport;

  std::vector<TInputFileInfo> FFileTable;
  std::vector<std::unique_ptr<TInputStream>> FInputStreams;
  std::vector<std::unique_ptr<TOutputStream>> FOutputStreams;
  // Per input file, µs added to its timestamps: the job's, moved by the
  // discontinuities the loop finds.
  std::vector<int64_t> FTsOffsets;
  // From the end of the set-up until everything is written; guarded by
  // FPipelineLock, since OwnsThread reads it from any thread.
  std::unique_ptr<TRunPipeline> FPipeline;
  mutable std::mutex FPipelineLock;
  // Per input stream, the predictor of pictures to drop undecoded (or null); run's thread only.
  std::vector<std::unique_ptr<TDropPredictor>> FPredictors;
  // The decoded pictures' pre-processing, made with the first video path
  // (null when nothing is re-encoded as video); used by the video job.
  std::unique_ptr<TPicturePrep> FPicturePrep;
  int64_t FTimerStart = 0;      // µs, wall clock when the packet loop started
  int64_t FLastReportTime = 0;  // µs, wall clock of the last progress report
  avbind::TMyFilePtr FVstats;   // the "vstats" file, opened at its first line
};

}  // namespace engine
