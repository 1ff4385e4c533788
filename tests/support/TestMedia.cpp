#include "TestMedia.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "AVPtr.h"

namespace qvtest {

namespace {

std::string ErrText(int AErr)
{
  char buf[256] = {};
  AVUtilLib.av_strerror(AErr, buf, sizeof buf);
  return buf;
}

void Check(int AErr, const std::string &AWhat)
{
  if (AErr < 0) throw std::runtime_error(AWhat + ": " + ErrText(AErr));
}

struct TOutCtxDeleter {
  void operator()(AVFormatContext *p) const
  {
    if (p->pb && !(p->oformat->flags & AVFMT_NOFILE)) AVFormatLib.avio_closep(&p->pb);
    AVFormatLib.avformat_free_context(p);
  }
};
using TOutCtxPtr = std::unique_ptr<AVFormatContext, TOutCtxDeleter>;

struct TGenStream {
  AVStream *St = nullptr;
  avbind::TCodecCtxPtr Enc;
  avbind::TFramePtr Frame;
  int64_t Next = 0;   // pts of the next frame, encoder time base
  int64_t Total = 0;  // frames (video) or samples (audio) to write
  bool Done = false;
};

// A moving diagonal gradient with a bright square that travels across the
// picture, so every frame differs and motion is visible.
void FillPicture(AVFrame &AFrame, int64_t AIndex)
{
  AVUtilLib.av_frame_make_writable(&AFrame);
  const int w = AFrame.width, h = AFrame.height;
  const int t = static_cast<int>(AIndex);
  const AVPixFmtDescriptor *desc = AVUtilLib.av_pix_fmt_desc_get(static_cast<AVPixelFormat>(AFrame.format));
  const int cw = -((-w) >> desc->log2_chroma_w), ch = -((-h) >> desc->log2_chroma_h);
  const int box = std::max(2, std::min(w, h) / 4);
  const int bx = (t * 4) % std::max(1, w - box), by = (t * 2) % std::max(1, h - box);
  for (int y = 0; y < h; ++y) {
    uint8_t *row = AFrame.data[0] + static_cast<ptrdiff_t>(y) * AFrame.linesize[0];
    for (int x = 0; x < w; ++x) {
      const bool inBox = x >= bx && x < bx + box && y >= by && y < by + box;
      row[x] = inBox ? 235 : static_cast<uint8_t>(16 + (x + y + t * 3) % 200);
    }
  }
  for (int p = 1; p <= 2 && AFrame.data[p]; ++p)
    for (int y = 0; y < ch; ++y) {
      uint8_t *row = AFrame.data[p] + static_cast<ptrdiff_t>(y) * AFrame.linesize[p];
      for (int x = 0; x < cw; ++x) row[x] = static_cast<uint8_t>(p == 1 ? 64 + (x + t) % 128 : 64 + (y + t) % 128);
    }
}

// A 440 Hz tone (a fifth higher on every further channel) in any of the
// common sample formats.
void FillTone(AVFrame &AFrame, int64_t AFirstSample)
{
  AVUtilLib.av_frame_make_writable(&AFrame);
  const auto fmt = static_cast<AVSampleFormat>(AFrame.format);
  const bool planar = AVUtilLib.av_sample_fmt_is_planar(fmt);
  const int channels = AFrame.ch_layout.nb_channels;
  const int bps = AVUtilLib.av_get_bytes_per_sample(fmt);
  for (int i = 0; i < AFrame.nb_samples; ++i) {
    for (int c = 0; c < channels; ++c) {
      const double freq = 440.0 * std::pow(1.5, c);
      const double v = 0.5 * std::sin(2 * M_PI * freq * static_cast<double>(AFirstSample + i) / AFrame.sample_rate);
      uint8_t *dst = planar ? AFrame.extended_data[c] + static_cast<ptrdiff_t>(i) * bps
                            : AFrame.extended_data[0] + static_cast<ptrdiff_t>(i * channels + c) * bps;
      switch (fmt) {
        case AV_SAMPLE_FMT_U8: case AV_SAMPLE_FMT_U8P: *dst = static_cast<uint8_t>(128 + v * 127); break;
        case AV_SAMPLE_FMT_S16: case AV_SAMPLE_FMT_S16P: {
          const int16_t s = static_cast<int16_t>(v * 32767);
          std::memcpy(dst, &s, sizeof s);
          break;
        }
        case AV_SAMPLE_FMT_S32: case AV_SAMPLE_FMT_S32P: {
          const int32_t s = static_cast<int32_t>(v * 2147483647.0);
          std::memcpy(dst, &s, sizeof s);
          break;
        }
        case AV_SAMPLE_FMT_FLT: case AV_SAMPLE_FMT_FLTP: {
          const float s = static_cast<float>(v);
          std::memcpy(dst, &s, sizeof s);
          break;
        }
        case AV_SAMPLE_FMT_DBL: case AV_SAMPLE_FMT_DBLP: std::memcpy(dst, &v, sizeof v); break;
        default: throw std::runtime_error("test tone: unsupported sample format");
      }
    }
  }
}

void WritePackets(AVFormatContext *AOut, TGenStream &AS, AVPacket *APkt, int APtsOffsetMs = 0)
{
  for (;;) {
    const int r = AVCodecLib.avcodec_receive_packet(AS.Enc.get(), APkt);
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
    Check(r, "encode");
    AVCodecLib.av_packet_rescale_ts(APkt, AS.Enc->time_base, AS.St->time_base);
    if (APtsOffsetMs && APkt->pts != AV_NOPTS_VALUE)
      APkt->pts += AVUtilLib.av_rescale_q(APtsOffsetMs, AVRational{1, 1000}, AS.St->time_base);
    APkt->stream_index = AS.St->index;
    Check(AVFormatLib.av_interleaved_write_frame(AOut, APkt), "write packet");
  }
}

}  // namespace

void MakeMedia(const std::string &APath, const TGenOptions &AOpts)
{
  if (AOpts.VideoCodec.empty() && AOpts.AudioCodec.empty()) throw std::runtime_error("MakeMedia: no stream asked for");
  AVFormatContext *raw = nullptr;
  Check(AVFormatLib.avformat_alloc_output_context2(&raw, nullptr, AOpts.Container.c_str(), APath.c_str()),
        "muxer " + AOpts.Container);
  TOutCtxPtr out(raw);
  const bool globalHeader = out->oformat->flags & AVFMT_GLOBALHEADER;
  for (const auto &t : AOpts.Tags) AVUtilLib.av_dict_set(&out->metadata, t.first.c_str(), t.second.c_str(), 0);

  TGenStream video, audio;
  if (!AOpts.VideoCodec.empty()) {
    const AVCodec *codec = AVCodecLib.avcodec_find_encoder_by_name(AOpts.VideoCodec.c_str());
    if (!codec || codec->type != AVMEDIA_TYPE_VIDEO) throw std::runtime_error("no video encoder " + AOpts.VideoCodec);
    video.Enc.reset(AVCodecLib.avcodec_alloc_context3(codec));
    AVCodecContext *c = video.Enc.get();
    c->width = AOpts.Width;
    c->height = AOpts.Height;
    c->time_base = AVRational{AOpts.FrameRate.den, AOpts.FrameRate.num};
    c->framerate = AOpts.FrameRate;
    c->pix_fmt = codec->pix_fmts ? codec->pix_fmts[0] : AV_PIX_FMT_YUV420P;
    c->gop_size = 12;
    c->bit_rate = 400000;
    if (globalHeader) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (AOpts.VideoCodec == "libx264") {
      AVUtilLib.av_opt_set(c->priv_data, "preset", AOpts.BFrames > 0 ? "veryfast" : "ultrafast", 0);
      c->max_b_frames = AOpts.BFrames;
    }
    Check(AVCodecLib.avcodec_open2(c, codec, nullptr), "open " + AOpts.VideoCodec);
    video.St = AVFormatLib.avformat_new_stream(out.get(), nullptr);
    video.St->time_base = c->time_base;
    video.St->avg_frame_rate = AOpts.FrameRate;
    Check(AVCodecLib.avcodec_parameters_from_context(video.St->codecpar, c), "video parameters");
    video.Frame.reset(AVUtilLib.av_frame_alloc());
    video.Frame->format = c->pix_fmt;
    video.Frame->width = c->width;
    video.Frame->height = c->height;
    Check(AVUtilLib.av_frame_get_buffer(video.Frame.get(), 0), "video frame");
    video.Total = std::llround(AOpts.Seconds * AOpts.FrameRate.num / AOpts.FrameRate.den);
  }
  if (!AOpts.AudioCodec.empty()) {
    const AVCodec *codec = AVCodecLib.avcodec_find_encoder_by_name(AOpts.AudioCodec.c_str());
    if (!codec || codec->type != AVMEDIA_TYPE_AUDIO) throw std::runtime_error("no audio encoder " + AOpts.AudioCodec);
    audio.Enc.reset(AVCodecLib.avcodec_alloc_context3(codec));
    AVCodecContext *c = audio.Enc.get();
    c->sample_rate = AOpts.SampleRate;
    AVUtilLib.av_channel_layout_default(&c->ch_layout, AOpts.Channels);
    c->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
    c->time_base = AVRational{1, AOpts.SampleRate};
    c->bit_rate = 64000 * AOpts.Channels;
    if (globalHeader) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    Check(AVCodecLib.avcodec_open2(c, codec, nullptr), "open " + AOpts.AudioCodec);
    audio.St = AVFormatLib.avformat_new_stream(out.get(), nullptr);
    audio.St->time_base = c->time_base;
    Check(AVCodecLib.avcodec_parameters_from_context(audio.St->codecpar, c), "audio parameters");
    audio.Frame.reset(AVUtilLib.av_frame_alloc());
    audio.Frame->format = c->sample_fmt;
    audio.Frame->sample_rate = c->sample_rate;
    Check(AVUtilLib.av_channel_layout_copy(&audio.Frame->ch_layout, &c->ch_layout), "layout");
    // Codecs without a fixed frame size (PCM) take any count.
    audio.Frame->nb_samples = c->frame_size > 0 ? c->frame_size : 1024;
    Check(AVUtilLib.av_frame_get_buffer(audio.Frame.get(), 0), "audio frame");
    audio.Total = std::llround(AOpts.Seconds * AOpts.SampleRate);
  }

  AVStream *text = nullptr;
  if (!AOpts.TextCues.empty()) {
    text = AVFormatLib.avformat_new_stream(out.get(), nullptr);
    text->codecpar->codec_type = AVMEDIA_TYPE_SUBTITLE;
    text->codecpar->codec_id = AV_CODEC_ID_TEXT;
    text->time_base = AVRational{1, 1000};
  }

  if (!AOpts.Language.empty())
    for (unsigned i = 0; i < out->nb_streams; ++i)
      AVUtilLib.av_dict_set(&out->streams[i]->metadata, "language", AOpts.Language.c_str(), 0);
  if (!(out->oformat->flags & AVFMT_NOFILE))
    Check(AVFormatLib.avio_open2(&out->pb, APath.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr), "create " + APath);
  Check(AVFormatLib.avformat_write_header(out.get(), nullptr), "write header");

  avbind::TPacketPtr pkt(AVCodecLib.av_packet_alloc());
  for (const auto &[startMs, cue] : AOpts.TextCues) {
    Check(AVCodecLib.av_new_packet(pkt.get(), static_cast<int>(cue.size())), "text packet");
    std::memcpy(pkt->data, cue.data(), cue.size());
    pkt->stream_index = text->index;
    pkt->pts = pkt->dts = AVUtilLib.av_rescale_q(startMs, AVRational{1, 1000}, text->time_base);
    pkt->duration = AVUtilLib.av_rescale_q(1000, AVRational{1, 1000}, text->time_base);
    pkt->flags |= AV_PKT_FLAG_KEY;
    Check(AVFormatLib.av_interleaved_write_frame(out.get(), pkt.get()), "write text");
  }
  video.Done = !video.Enc;
  audio.Done = !audio.Enc;
  // Feed whichever stream is behind in time, so the muxer interleaves cheaply.
  while (!video.Done || !audio.Done) {
    bool takeVideo = !video.Done;
    if (!video.Done && !audio.Done)
      takeVideo = video.Next * av_q2d(video.Enc->time_base) <= audio.Next * av_q2d(audio.Enc->time_base);
    TGenStream &s = takeVideo ? video : audio;
    if (s.Next >= s.Total) {
      Check(AVCodecLib.avcodec_send_frame(s.Enc.get(), nullptr), "flush");
      WritePackets(out.get(), s, pkt.get(), takeVideo ? AOpts.VideoPtsOffsetMs : 0);
      s.Done = true;
      continue;
    }
    if (takeVideo) {
      FillPicture(*s.Frame, s.Next);
      s.Frame->pts = s.Next++;
    } else {
      s.Frame->nb_samples = static_cast<int>(
          std::min<int64_t>(s.Enc->frame_size > 0 ? s.Enc->frame_size : 1024, s.Total - s.Next));
      // Encoders without the variable-frame capability need full frames: pad the last one.
      if (s.Enc->frame_size > 0 && !(s.Enc->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE))
        s.Frame->nb_samples = s.Enc->frame_size;
      FillTone(*s.Frame, s.Next);
      s.Frame->pts = s.Next;
      s.Next += s.Frame->nb_samples;
    }
    Check(AVCodecLib.avcodec_send_frame(s.Enc.get(), s.Frame.get()), "encode frame");
    WritePackets(out.get(), s, pkt.get(), takeVideo ? AOpts.VideoPtsOffsetMs : 0);
  }
  Check(AVFormatLib.av_write_trailer(out.get()), "write trailer");
}

const TStreamInfo *TMediaInfo::Find(int AType) const
{
  for (const auto &s : Streams)
    if (s.Type == AType) return &s;
  return nullptr;
}

bool ProbeMedia(const std::string &APath, TMediaInfo &AInfo, std::string *AError)
{
  AInfo = TMediaInfo();
  AVFormatContext *raw = nullptr;
  int r = AVFormatLib.avformat_open_input(&raw, APath.c_str(), nullptr, nullptr);
  if (r < 0) {
    if (AError) *AError = ErrText(r);
    return false;
  }
  avbind::TInputCtxPtr in(raw);
  r = AVFormatLib.avformat_find_stream_info(in.get(), nullptr);
  if (r < 0) {
    if (AError) *AError = ErrText(r);
    return false;
  }
  AInfo.Format = in->iformat->name;
  AInfo.Duration = in->duration == AV_NOPTS_VALUE ? 0 : static_cast<double>(in->duration) / AV_TIME_BASE;
  const unsigned n = in->nb_streams;
  std::vector<int64_t> first(n, std::numeric_limits<int64_t>::max()), last(n, std::numeric_limits<int64_t>::min());
  for (unsigned i = 0; i < n; ++i) {
    const AVCodecParameters *par = in->streams[i]->codecpar;
    TStreamInfo s;
    s.Type = par->codec_type;
    s.Codec = AVCodecLib.avcodec_get_name(par->codec_id);
    s.Width = par->width;
    s.Height = par->height;
    s.PixFmt = par->codec_type == AVMEDIA_TYPE_VIDEO ? par->format : -1;
    s.FrameRate = in->streams[i]->avg_frame_rate;
    s.SampleRate = par->sample_rate;
    s.Channels = par->ch_layout.nb_channels;
    AInfo.Streams.push_back(s);
  }
  avbind::TPacketPtr pkt(AVCodecLib.av_packet_alloc());
  while ((r = AVFormatLib.av_read_frame(in.get(), pkt.get())) >= 0) {
    const unsigned i = static_cast<unsigned>(pkt->stream_index);
    if (i < n) {
      TStreamInfo &s = AInfo.Streams[i];
      ++s.Packets;
      if (pkt->flags & AV_PKT_FLAG_KEY)
        ++s.KeyPackets;
      else if (s.KeyPackets == 0)
        ++s.PacketsBeforeFirstKey;
      const int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
      if (ts != AV_NOPTS_VALUE) {
        first[i] = std::min(first[i], ts);
        last[i] = std::max(last[i], ts + pkt->duration);
      }
    }
    AVCodecLib.av_packet_unref(pkt.get());
  }
  for (unsigned i = 0; i < n; ++i)
    if (last[i] >= first[i] && first[i] != std::numeric_limits<int64_t>::max())
      AInfo.Streams[i].Duration = static_cast<double>(last[i] - first[i]) * av_q2d(in->streams[i]->time_base);
  return true;
}

std::vector<TPacketInfo> ReadPackets(const std::string &APath, int AType)
{
  AVFormatContext *raw = nullptr;
  Check(AVFormatLib.avformat_open_input(&raw, APath.c_str(), nullptr, nullptr), "open " + APath);
  avbind::TInputCtxPtr in(raw);
  Check(AVFormatLib.avformat_find_stream_info(in.get(), nullptr), "stream info of " + APath);
  int index = -1;
  for (unsigned i = 0; i < in->nb_streams && index < 0; ++i)
    if (in->streams[i]->codecpar->codec_type == AType) index = static_cast<int>(i);
  std::vector<TPacketInfo> out;
  if (index < 0) return out;
  const AVRational tb = in->streams[index]->time_base;
  auto micro = [&](int64_t ATs) {
    return ATs == AV_NOPTS_VALUE ? INT64_MIN : AVUtilLib.av_rescale_q(ATs, tb, AVRational{1, 1000000});
  };
  avbind::TPacketPtr pkt(AVCodecLib.av_packet_alloc());
  while (AVFormatLib.av_read_frame(in.get(), pkt.get()) >= 0) {
    if (pkt->stream_index == index) {
      TPacketInfo p;
      p.Data.assign(reinterpret_cast<const char *>(pkt->data), static_cast<size_t>(pkt->size));
      p.Pts = micro(pkt->pts);
      p.Dts = micro(pkt->dts);
      p.Duration = AVUtilLib.av_rescale_q(pkt->duration, tb, AVRational{1, 1000000});
      p.Key = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
      out.push_back(std::move(p));
    }
    AVCodecLib.av_packet_unref(pkt.get());
  }
  return out;
}

std::string ComparePackets(const std::string &AOriginal, const std::string &ACopy, int AType)
{
  auto in = ReadPackets(AOriginal, AType);
  const auto out = ReadPackets(ACopy, AType);
  in.erase(in.begin(), std::find_if(in.begin(), in.end(), [](const TPacketInfo &P) { return P.Key; }));
  if (in.empty()) return "no packets to compare";
  if (out.size() != in.size())
    return std::to_string(out.size()) + " packets instead of " + std::to_string(in.size());
  size_t differing = 0, moved = 0;
  for (size_t i = 0; i < in.size(); ++i) {
    if (out[i].Data != in[i].Data) ++differing;
    // FLV keeps milliseconds; MP4 may count in finer units.
    if (std::llabs((out[i].Pts - out[0].Pts) - (in[i].Pts - in[0].Pts)) > 1000) ++moved;
  }
  if (differing == 0 && moved == 0) return {};
  return std::to_string(differing) + " packets differ, " + std::to_string(moved) + " moved in time";
}

int DecodeVideo(const std::string &APath, const std::function<void(const AVFrame &)> &AOnFrame)
{
  AVFormatContext *raw = nullptr;
  Check(AVFormatLib.avformat_open_input(&raw, APath.c_str(), nullptr, nullptr), "open " + APath);
  avbind::TInputCtxPtr in(raw);
  Check(AVFormatLib.avformat_find_stream_info(in.get(), nullptr), "probe " + APath);
  int index = -1;
  for (unsigned i = 0; i < in->nb_streams && index < 0; ++i)
    if (in->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) index = static_cast<int>(i);
  if (index < 0) throw std::runtime_error(APath + ": no video stream");
  const AVCodecParameters *par = in->streams[index]->codecpar;
  const AVCodec *codec = AVCodecLib.avcodec_find_decoder(par->codec_id);
  if (!codec) throw std::runtime_error(APath + ": no decoder");
  avbind::TCodecCtxPtr dec(AVCodecLib.avcodec_alloc_context3(codec));
  Check(AVCodecLib.avcodec_parameters_to_context(dec.get(), par), "decoder parameters");
  dec->pkt_timebase = in->streams[index]->time_base;
  Check(AVCodecLib.avcodec_open2(dec.get(), codec, nullptr), "open decoder");

  avbind::TPacketPtr pkt(AVCodecLib.av_packet_alloc());
  avbind::TFramePtr frame(AVUtilLib.av_frame_alloc());
  int count = 0;
  auto drain = [&] {
    for (;;) {
      const int r = AVCodecLib.avcodec_receive_frame(dec.get(), frame.get());
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF || r == AVERROR_INVALIDDATA) return;
      Check(r, "decode");
      ++count;
      if (AOnFrame) AOnFrame(*frame);
      AVUtilLib.av_frame_unref(frame.get());
    }
  };
  while (AVFormatLib.av_read_frame(in.get(), pkt.get()) >= 0) {
    if (pkt->stream_index == index) {
      // A damaged packet costs its picture, not the whole file.
      const int r = AVCodecLib.avcodec_send_packet(dec.get(), pkt.get());
      if (r != AVERROR_INVALIDDATA) Check(r, "decode packet");
      drain();
    }
    AVCodecLib.av_packet_unref(pkt.get());
  }
  AVCodecLib.avcodec_send_packet(dec.get(), nullptr);
  drain();
  return count;
}

}  // namespace qvtest
