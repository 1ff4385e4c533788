// The subtitle path (see SubtitlePath.h).
#include "SubtitlePath.h"

#include <algorithm>
#include <vector>

#include "FFmpeg.h"
#include "Streams.h"
#include "SysFormat.h"

namespace engine {

TSubtitlePath::TSubtitlePath(TPathServices &AServices, AVFormatContext *AOut, TOutputStream &AOst)
    : TOutputPath(AServices, AOut, AOst)
{
}

void TSubtitlePath::Setup(TInputStream &AIst)
{
  // Subtitle encoders refuse to open without a time base.
  if (FEnc->time_base.num <= 0 || FEnc->time_base.den <= 0) FEnc->time_base = AIst.Stream->time_base;
}

void TSubtitlePath::Take(const TInputStream &AIst, AVSubtitle &ASub, int64_t APts)
{
  if (APts == NoPts) {
    FServices.Log(0, "Subtitle packets must have a pts");
    return;
  }
  constexpr int kSubtitleBufferSize = 65536;
  std::vector<uint8_t> buffer(kSubtitleBufferSize);
  const bool dvb = FEnc->codec_id == AV_CODEC_ID_DVB_SUBTITLE;
  const int passes = dvb ? 2 : 1;
  const AVRational otb = FOst.Stream->time_base;
  for (int i = 0; i < passes; ++i) {
    // The second DVB packet ends the display: a page without regions clears it.
    const unsigned rects = ASub.num_rects;
    if (i == 1) ASub.num_rects = 0;
    const int size = AVCodecLib.avcodec_encode_subtitle(FEnc, buffer.data(), kSubtitleBufferSize, &ASub);
    ASub.num_rects = rects;
    if (size < 0) {
      // One subtitle the encoder cannot take (a picture for a text format,
      // say) is lost; the rest of the job is not.
      FServices.Log(0, avbind::Format("Subtitle encoding failed for output stream #%d.%d", {FOst.FileIndex, FOst.Index}));
      return;
    }
    avbind::TPacketPtr pkt(AVCodecLib.av_packet_alloc());
    if (!pkt || AVCodecLib.av_new_packet(pkt.get(), size) < 0) throw FFMpegException("av_mallocz fail");
    std::copy(buffer.begin(), buffer.begin() + size, pkt->data);
    pkt->pts = AVUtilLib.av_rescale_q(APts, AIst.Stream->time_base, otb);
    if (dvb) {
      const int64_t shift = 90LL * (i == 0 ? ASub.start_display_time : ASub.end_display_time);
      pkt->pts += AVUtilLib.av_rescale_q(shift, AVRational{1, 90000}, otb);
    } else if (ASub.end_display_time > ASub.start_display_time && ASub.end_display_time != UINT32_MAX) {
      // Text formats show a subtitle for the packet's duration.
      pkt->duration =
          AVUtilLib.av_rescale_q(ASub.end_display_time - ASub.start_display_time, AVRational{1, 1000}, otb);
    }
    pkt->dts = pkt->pts;
    FServices.WritePacket(FOut, pkt.get(), FOst);
  }
}

}  // namespace engine
