// The single exit of every packet, and the engine's side of the output paths' services.
#include "FFmpeg.h"
#include "PathLink.h"
#include "Streams.h"
#include "RunState.h"
#include "Pipeline.h"
#include "SysFormat.h"

void TCustomFFmpeg::WriteFrame(AVFormatContext *AOut, AVPacket *APkt, TOutputStream &AOst)
{
  // Inside a job the packet waits in the job's ticket, so packets reach the
  // muxer in job order whichever thread made them.
  if (engine::TTicket *ticket = engine::TRunPipeline::Current()) {
    ticket->Add(&AOst, *APkt);
    return;
  }
  MuxPacket(AOut, APkt, AOst);
}

void TCustomFFmpeg::MuxPacket(AVFormatContext *AOut, AVPacket *APkt, TOutputStream &AOst)
{
  APkt->stream_index = AOst.Index;
  if (!(AOut->oformat->flags & AVFMT_NOTIMESTAMPS) && APkt->dts != NoPts) {
    // Broken inputs can step backwards; a muxer refuses falling decoding
    // timestamps, so nudge them forward instead of losing the whole job.
    if (AOst.LastMuxDts != NoPts && APkt->dts <= AOst.LastMuxDts) {
      if (Verbose > 2)
        Log(1, avbind::Format("Decoding timestamp %d of output stream #%d.%d is not above the last one (%d); using %d",
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
  if (r < 0) Fail(InputOpenErrorText("av_interleaved_write_frame()", r));
}

void TCustomFFmpeg::TPathLink::VideoStats(TOutputStream &AOst, int AFrameSize, int APictType, int AQuality)
{
  FEngine.DoVideoStats(FEngine.OutputFiles[AOst.FileIndex], AOst, AFrameSize, APictType, AQuality);
}

double TCustomFFmpeg::SyncInputTime(const TOutputStream &AOst, int64_t AStartTime) const
{
  return static_cast<double>(AOst.SyncIst->Pts - AStartTime) / 1000000.0;
}
