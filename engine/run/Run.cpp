// The run object's life and the services its output paths use: the single
// exit of every packet (a job's ticket, or the muxer), the sync clock and
// the statistics file.
#include "Run.h"

#include "MyUtilHlpr.h"
#include "SysFormat.h"

namespace engine {

TRun::TRun(THookLinks AHookLinks, const TFFmpegSettings &ASettings, TJob &AJob, const TRunFiles &AFiles,
           TRunEvents &AEvents, const TRunParams &AParams, const TRunReport &AReport)
    : FHookLinks(std::move(AHookLinks)),
      FSettings(ASettings),
      FJob(AJob),
      FInputs(AFiles.Inputs),
      FInputCount(AFiles.InputCount),
      FOutputs(AFiles.Outputs),
      FOutputCount(AFiles.OutputCount),
      FEvents(AEvents),
      FParams(AParams),
      FReport(AReport)
{
}

TRun::~TRun() { Abandon(); }

void TRun::Abandon()
{
  // No stage may still use a codec or a record when they go.
  StopPipeline();
  CloseOpenCodecs();
  FreeRunTables();
}

void TRun::Fail(const std::string &AMsg) { throw FFMpegException(AMsg); }

void TRun::Log(int ALevel, const std::string &AMsg) { FEvents.Log(ALevel, AMsg); }

void TRun::WritePacket(AVFormatContext *AOut, AVPacket *APkt, TOutputStream &AOst)
{
  // Inside a job the packet waits in the job's ticket, so packets reach the
  // muxer in job order whichever thread made them.
  if (TTicket *ticket = TRunPipeline::Current()) {
    ticket->Add(&AOst, *APkt);
    return;
  }
  MuxPacket(AOut, APkt, AOst);
}

double TRun::SyncInputTime(const TOutputStream &AOst, int64_t AStartTime) const
{
  return static_cast<double>(AOst.SyncIst->Pts - AStartTime) / 1000000.0;
}

void TRun::MuxPacket(AVFormatContext *AOut, AVPacket *APkt, TOutputStream &AOst)
{
  engine::MuxPacket(AOut, APkt, AOst, FSettings.Verbose, [this](const std::string &AMsg) { Log(1, AMsg); });
}

void MuxPacket(AVFormatContext *AOut, AVPacket *APkt, TOutputStream &AOst, int AVerbose,
               const std::function<void(const std::string &)> &ATell)
{
  APkt->stream_index = AOst.Index;
  if (!(AOut->oformat->flags & AVFMT_NOTIMESTAMPS) && APkt->dts != NoPts) {
    // Broken inputs can step backwards; a muxer refuses falling decoding
    // timestamps, so nudge them forward instead of losing the whole job.
    if (AOst.LastMuxDts != NoPts && APkt->dts <= AOst.LastMuxDts) {
      if (AVerbose > 2)
        ATell(avbind::Format("Decoding timestamp %d of output stream #%d.%d is not above the last one (%d); using %d",
                              {APkt->dts, AOst.FileIndex, AOst.Index, AOst.LastMuxDts, AOst.LastMuxDts + 1}));
      APkt->dts = AOst.LastMuxDts + 1;
      if (APkt->pts != NoPts && APkt->pts < APkt->dts) APkt->pts = APkt->dts;
    }
    AOst.LastMuxDts = APkt->dts;
  }
  const int64_t start = APkt->pts != NoPts ? APkt->pts : APkt->dts;
  if (start != NoPts) {
    const double end = static_cast<double>(start + (APkt->duration > 0 ? APkt->duration : 0)) *
                       av_q2d(AOst.Stream->time_base);
    if (end > AOst.OutTime) AOst.OutTime = end;
  }
  ++AOst.PacketsWritten;
  const int r = AVFormatLib.av_interleaved_write_frame(AOut, APkt);
  if (r < 0) throw FFMpegException(TCustomFFmpeg::InputOpenErrorText("av_interleaved_write_frame()", r));
}

}  // namespace engine
