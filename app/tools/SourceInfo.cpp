// The input's description and the rewrap rule (see SourceInfo.h).
#include "SourceInfo.h"

#include <sys/stat.h>

#include <cmath>

#include "AVPtr.h"
#include "FlvSource.h"

namespace {

const AVStream *FirstStream(const AVFormatContext *AContext, AVMediaType AType)
{
  for (unsigned i = 0; i < AContext->nb_streams; ++i)
    if (AContext->streams[i]->codecpar->codec_type == AType) return AContext->streams[i];
  return nullptr;
}

std::string CodecName(const AVCodecParameters *APar)
{
  const char *name = AVCodecLib.avcodec_get_name(APar->codec_id);
  return name ? name : "";
}

bool PlausibleRate(AVRational ARate) { return ARate.num > 0 && ARate.den > 0 && av_q2d(ARate) <= 120.0; }

bool StartsWith(const std::string &AText, const char *APrefix) { return AText.rfind(APrefix, 0) == 0; }

}  // namespace

TSourceInfo DescribeSource(const AVFormatContext *AContext)
{
  TSourceInfo info;
  if (!AContext) return info;
  if (AContext->duration != AV_NOPTS_VALUE && AContext->duration > 0) info.Duration = AContext->duration;
  if (const AVStream *v = FirstStream(AContext, AVMEDIA_TYPE_VIDEO)) {
    info.VideoCodec = CodecName(v->codecpar);
    info.Width = v->codecpar->width;
    info.Height = v->codecpar->height;
    if (info.Width > 0 && info.Height > 0) {
      const AVRational sar = v->codecpar->sample_aspect_ratio;
      const double pixel = sar.num > 0 && sar.den > 0 ? av_q2d(sar) : 1.0;
      info.DisplayAspect = pixel * info.Width / info.Height;
    }
    // Streams that do not tell their rate report the demuxer's time base
    // (1000 fps for FLV) as their base rate; their average is what they play at.
    const AVRational rate = PlausibleRate(v->r_frame_rate) ? v->r_frame_rate : v->avg_frame_rate;
    if (PlausibleRate(rate)) {
      info.FrameRateNum = rate.num;
      info.FrameRateDen = rate.den;
    }
  }
  if (const AVStream *a = FirstStream(AContext, AVMEDIA_TYPE_AUDIO)) {
    info.AudioCodec = CodecName(a->codecpar);
    info.AudioChannels = a->codecpar->ch_layout.nb_channels;
    info.AudioSampleRate = a->codecpar->sample_rate;
    info.AudioChanges = AVUtilLib.av_dict_get(a->metadata, "config_changes", nullptr, 0) != nullptr;
  }
  return info;
}

bool ScanStreamSizes(const std::string &AFileName, TSourceInfo &AInfo, int64_t AByteBudget)
{
  // An existing file is read as a file, whatever characters its name holds.
  struct stat st {};
  const std::string url = stat(AFileName.c_str(), &st) == 0 ? "file:" + AFileName : AFileName;
  // FLV through our reader, as the conversion reads it; the rest through the demuxers.
  std::unique_ptr<flv::TFlvSource> flvSource;
  avbind::TInputCtxPtr demuxed;
  AVFormatContext *ctx = nullptr;
  if (flv::TFlvSource::Claims(AFileName, false)) {
    std::string error;
    flvSource = flv::TFlvSource::Open(AFileName, {}, error);
    if (!flvSource) return false;
    ctx = flvSource->Context();
  } else {
    AVFormatContext *raw = nullptr;
    if (AVFormatLib.avformat_open_input(&raw, url.c_str(), nullptr, nullptr) < 0) return false;
    demuxed.reset(raw);
    ctx = raw;
  }
  auto read = [&](AVPacket *APacket) {
    return flvSource ? flvSource->Read(APacket) : AVFormatLib.av_read_frame(ctx, APacket);
  };
  avbind::TPacketPtr pkt(AVCodecLib.av_packet_alloc());
  if (!pkt) return false;

  struct TTally {
    int Index = -1;
    int64_t Bytes = 0, Packets = 0;
    int64_t First = AV_NOPTS_VALUE, Last = AV_NOPTS_VALUE;  // µs
    bool Started = false;                                   // video: a key frame was seen
  } video, audio;
  int64_t total = 0;
  bool cut = false;
  while (read(pkt.get()) >= 0) {
    const AVStream *s = ctx->streams[pkt->stream_index];
    const AVMediaType type = s->codecpar->codec_type;
    TTally *t = nullptr;
    if (type == AVMEDIA_TYPE_VIDEO && (video.Index < 0 || video.Index == pkt->stream_index)) t = &video;
    if (type == AVMEDIA_TYPE_AUDIO && (audio.Index < 0 || audio.Index == pkt->stream_index)) t = &audio;
    if (t) {
      t->Index = pkt->stream_index;
      // A copy starts at the first key frame; what comes before is dropped.
      if (pkt->flags & AV_PKT_FLAG_KEY) t->Started = true;
      if (t->Started) {
        t->Bytes += pkt->size;
        ++t->Packets;
        const int64_t ts = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
        if (ts != AV_NOPTS_VALUE) {
          const int64_t us = AVUtilLib.av_rescale_q(ts, s->time_base, AVRational{1, 1000000});
          if (t->First == AV_NOPTS_VALUE) t->First = us;
          t->Last = us;
        }
      }
      total += pkt->size;
    }
    AVCodecLib.av_packet_unref(pkt.get());
    if (total > AByteBudget) {
      cut = true;
      break;
    }
  }
  // A partial scan stands for the whole by the time it covered.
  auto finish = [&](TTally &T, int64_t &ABytes, int64_t &APackets) {
    ABytes = T.Bytes;
    APackets = T.Packets;
    if (!cut || AInfo.Duration <= 0 || T.First == AV_NOPTS_VALUE || T.Last <= T.First) return;
    const double scale = static_cast<double>(AInfo.Duration) / static_cast<double>(T.Last - T.First);
    if (scale > 1.0) {
      ABytes = std::llround(static_cast<double>(T.Bytes) * scale);
      APackets = std::llround(static_cast<double>(T.Packets) * scale);
    }
  };
  finish(video, AInfo.VideoBytes, AInfo.VideoPackets);
  finish(audio, AInfo.AudioBytes, AInfo.AudioPackets);
  return true;
}

TRewrapKind RewrapKindOf(const TSourceInfo &ASource)
{
  const std::string &v = ASource.VideoCodec;
  if (v != "h264" && v != "hevc" && v != "av1" && v != "vp9") return rkNone;
  const std::string &a = ASource.AudioCodec;
  if (a.empty()) return rkCopyAll;
  // MP4 carries MP3 of the MPEG-1 and MPEG-2 rates; FLV also holds 8 kHz MP3,
  // which players of MP4 files do not expect. FFmpeg 5.1's MP4 writer takes
  // FLAC only as an experiment, so FLAC is converted like Speex.
  const bool carried = a == "aac" || a == "opus" || a == "ac3" || a == "eac3" ||
                       (a == "mp3" && ASource.AudioSampleRate >= 16000);
  if (carried && !ASource.AudioChanges) return rkCopyAll;
  if (carried || a == "mp3" || a == "flac" || a == "speex" || a == "nellymoser" || StartsWith(a, "adpcm_") ||
      StartsWith(a, "pcm_"))
    return rkCopyVideo;
  return rkNone;
}

std::string RewrapName(TRewrapKind AKind)
{
  switch (AKind) {
    case rkCopyAll: return "Original quality, no re-encoding (fastest)";
    case rkCopyVideo: return "Original video quality (audio converted to AAC)";
    case rkNone: break;
  }
  return {};
}
