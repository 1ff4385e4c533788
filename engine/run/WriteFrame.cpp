// The single exit of every packet, and the subtitle output path.
#include "FFmpeg.h"
#include "Run.h"
#include "SysFormat.h"

void TCustomFFmpeg::WriteFrame(AVFormatContext *AOut, AVPacket *APkt, TOutputStream &AOst)
{
  if (FRun) {
    FRun->WritePacket(AOut, APkt, AOst);
    return;
  }
  // A path driven on its own, outside any run (a test's): straight to the muxer.
  engine::MuxPacket(AOut, APkt, AOst, Verbose, [this](const std::string &AMsg) { Log(1, AMsg); });
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
