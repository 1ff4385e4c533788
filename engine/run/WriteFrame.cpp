// The single exit of every packet, and the subtitle output path.
#include "FFmpeg.h"
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

void TCustomFFmpeg::DoSubtitleOut(AVFormatContext *AOut, TOutputStream &AOst, TInputStream &AIst, AVSubtitle &ASub,
                                  int64_t APts)
{
  if (APts == NoPts) {
    Log(0, "Subtitle packets must have a pts");
    return;
  }
  constexpr int kSubtitleBufferSize = 65536;
  std::vector<uint8_t> buffer(kSubtitleBufferSize);
  const bool dvb = AOst.Enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE;
  const int passes = dvb ? 2 : 1;
  for (int i = 0; i < passes; ++i) {
    // The second DVB packet ends the display: a page without regions clears it.
    const unsigned rects = ASub.num_rects;
    if (i == 1) ASub.num_rects = 0;
    const int size = AVCodecLib.avcodec_encode_subtitle(AOst.Enc, buffer.data(), kSubtitleBufferSize, &ASub);
    ASub.num_rects = rects;
    if (size < 0) {
      // One subtitle the encoder cannot take (a picture for a text format,
      // say) is lost; the rest of the job is not.
      Log(0, avbind::Format("Subtitle encoding failed for output stream #%d.%d", {AOst.FileIndex, AOst.Index}));
      return;
    }
    avbind::TPacketPtr pkt(AVCodecLib.av_packet_alloc());
    if (!pkt || AVCodecLib.av_new_packet(pkt.get(), size) < 0) Fail("av_mallocz fail");
    std::copy(buffer.begin(), buffer.begin() + size, pkt->data);
    pkt->pts = AVUtilLib.av_rescale_q(APts, AIst.Stream->time_base, AOst.Stream->time_base);
    if (dvb) {
      const int64_t shift = 90LL * (i == 0 ? ASub.start_display_time : ASub.end_display_time);
      pkt->pts += AVUtilLib.av_rescale_q(shift, AVRational{1, 90000}, AOst.Stream->time_base);
    } else if (ASub.end_display_time > ASub.start_display_time && ASub.end_display_time != UINT32_MAX) {
      // Text formats show a subtitle for the packet's duration.
      pkt->duration = AVUtilLib.av_rescale_q(ASub.end_display_time - ASub.start_display_time, AVRational{1, 1000},
                                             AOst.Stream->time_base);
    }
    pkt->dts = pkt->pts;
    WriteFrame(AOut, pkt.get(), AOst);
  }
}
