// Verification of a finished output (see Verify.h).
#include "Verify.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <memory>

#include "AVPtr.h"
#include "FlvSource.h"
#include "OpenErrors.h"
#include "SysFormat.h"

namespace {

constexpr double MinTolerance = 0.2;  // seconds a stream's length may differ by

// A media file opened for reading packets: FLV through our reader, as the
// conversion reads it, everything else through the library's demuxers.
class TPacketFile {
 public:
  bool Open(const std::string &AFileName, std::string &AError)
  {
    if (flv::TFlvSource::Claims(AFileName, false)) {
      FFlv = flv::TFlvSource::Open(AFileName, {}, AError);
      FContext = FFlv ? FFlv->Context() : nullptr;
      return FContext != nullptr;
    }
    // An existing file is read as a file, whatever characters its name holds.
    struct stat st {};
    const std::string url = stat(AFileName.c_str(), &st) == 0 ? "file:" + AFileName : AFileName;
    AVFormatContext *raw = nullptr;
    const int r = AVFormatLib.avformat_open_input(&raw, url.c_str(), nullptr, nullptr);
    if (r < 0) {
      AError = avbind::InputOpenErrorText(AFileName, r);
      return false;
    }
    FDemuxed.reset(raw);
    FContext = raw;
    if (AVFormatLib.avformat_find_stream_info(raw, nullptr) < 0) {
      AError = avbind::Format("%s: could not find codec parameters", {AFileName});
      return false;
    }
    return true;
  }
  AVFormatContext *Context() const { return FContext; }
  int Read(AVPacket *APacket) { return FFlv ? FFlv->Read(APacket) : AVFormatLib.av_read_frame(FContext, APacket); }
  // The first stream of AType, -1 when none.
  int First(AVMediaType AType) const
  {
    for (unsigned i = 0; i < FContext->nb_streams; ++i)
      if (FContext->streams[i]->codecpar->codec_type == AType) return static_cast<int>(i);
    return -1;
  }

 private:
  std::unique_ptr<flv::TFlvSource> FFlv;
  avbind::TInputCtxPtr FDemuxed;
  AVFormatContext *FContext = nullptr;
};

bool PlausibleRate(AVRational ARate) { return ARate.num > 0 && ARate.den > 0 && av_q2d(ARate) <= 120.0; }

// What one stream of a file holds, in seconds on the file's clock.
struct TTally {
  int Index = -1;
  int64_t Packets = 0, Frames = 0, Errors = 0;
  double End = -HUGE_VAL;  // of the latest frame
  bool Started = false;  // video: from its first key frame on
  double LastDts = NAN, NextDts = NAN, LastDuration = 0;  // the input's decoding clock, seconds
  std::map<int64_t, int64_t> Durations;  // packet duration (stream ticks) -> count
  avbind::TCodecCtxPtr Decoder;

  void Count(const AVStream &AStream, const AVPacket &APacket, double AFallbackDuration)
  {
    const int64_t ts = APacket.pts != AV_NOPTS_VALUE ? APacket.pts : APacket.dts;
    if (ts == AV_NOPTS_VALUE) return;
    const double tb = av_q2d(AStream.time_base);
    const double at = static_cast<double>(ts) * tb;
    const double duration = APacket.duration > 0 ? static_cast<double>(APacket.duration) * tb : AFallbackDuration;
    ++Packets;
    if (APacket.duration > 0) ++Durations[APacket.duration];
    End = std::max(End, at + duration);
  }
  // The packet duration most packets have, in seconds; 0 when none is known.
  double CommonDuration(const AVStream &AStream) const
  {
    const auto most = std::max_element(Durations.begin(), Durations.end(),
                                       [](const auto &a, const auto &b) { return a.second < b.second; });
    return most == Durations.end() ? 0.0 : static_cast<double>(most->first) * av_q2d(AStream.time_base);
  }
};

double FrameDuration(const AVStream &AStream)
{
  const AVCodecParameters &par = *AStream.codecpar;
  if (par.codec_type == AVMEDIA_TYPE_VIDEO) {
    const AVRational rate = PlausibleRate(AStream.r_frame_rate) ? AStream.r_frame_rate : AStream.avg_frame_rate;
    return PlausibleRate(rate) ? 1.0 / av_q2d(rate) : 0.0;
  }
  return par.frame_size > 0 && par.sample_rate > 0 ? static_cast<double>(par.frame_size) / par.sample_rate : 0.0;
}

// Reads every packet of the input's first video and audio streams.
bool ReadInput(const TVerifyRequest &ARequest, TTally &AVideo, TTally &AAudio, double &AOrigin, std::string &AError)
{
  TPacketFile in;
  if (!in.Open(ARequest.Input, AError)) return false;
  AVFormatContext *ctx = in.Context();
  AVideo.Index = in.First(AVMEDIA_TYPE_VIDEO);
  AAudio.Index = in.First(AVMEDIA_TYPE_AUDIO);
  // The conversion's clock starts at the input's first timestamp.
  AOrigin = ctx->start_time != AV_NOPTS_VALUE ? static_cast<double>(ctx->start_time) / AV_TIME_BASE : 0.0;
  if (ARequest.StartMs > 0) AOrigin += static_cast<double>(ARequest.StartMs) / 1000.0;
  const double until =
      ARequest.DurationMs >= 0 ? AOrigin + static_cast<double>(ARequest.DurationMs) / 1000.0 : HUGE_VAL;
  avbind::TPacketPtr pkt(AVCodecLib.av_packet_alloc());
  if (!pkt) {
    AError = avbind::InputOpenErrorText(ARequest.Input, AVERROR(ENOMEM));
    return false;
  }
  double offset = 0;  // seconds the file's clock was moved by, as the conversion moves it
  while (!(ARequest.Cancelled && ARequest.Cancelled()) && in.Read(pkt.get()) >= 0) {
    TTally *t = pkt->stream_index == AVideo.Index ? &AVideo : pkt->stream_index == AAudio.Index ? &AAudio : nullptr;
    const int64_t raw = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
    if (t && raw != AV_NOPTS_VALUE) {
      const AVStream &st = *ctx->streams[pkt->stream_index];
      const double tb = av_q2d(st.time_base), frame = FrameDuration(st);
      const double duration = pkt->duration > 0 ? static_cast<double>(pkt->duration) * tb : frame;
      const double dts = static_cast<double>(raw) * tb + offset;
      // The conversion's rule for a file whose timestamps step back (beyond
      // one packet) or jump by more than 10 s: when the other stream agrees,
      // the whole file's clock goes on where it was.
      const TTally &other = t == &AVideo ? AAudio : AVideo;
      const bool far = !std::isnan(t->NextDts) && std::fabs(dts - t->NextDts) > 10.0;
      const bool back = !std::isnan(t->LastDts) && dts + std::max(t->LastDuration, 1e-6) < t->LastDts;
      const bool otherToo = std::isnan(other.NextDts) || (far ? std::fabs(dts - other.NextDts) > 10.0
                                                            : dts + std::max(other.LastDuration, 1e-6) < other.LastDts);
      const double shift = (far || back) && otherToo ? dts - t->NextDts : 0.0;
      offset -= shift;
      t->LastDts = dts - shift;
      t->NextDts = t->LastDts + duration;
      t->LastDuration = duration;
      // A copy starts at the first key frame, and so does a decoder.
      if (t == &AAudio || (pkt->flags & AV_PKT_FLAG_KEY)) t->Started = true;
      const int64_t moved = std::llround(offset / tb);
      if (pkt->pts != AV_NOPTS_VALUE) pkt->pts += moved;
      if (pkt->dts != AV_NOPTS_VALUE) pkt->dts += moved;
      const double at = static_cast<double>(pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts) * tb;
      if (t->Started && at >= AOrigin - 1e-6 && at < until) t->Count(st, *pkt, frame);
    }
    AVCodecLib.av_packet_unref(pkt.get());
  }
  for (TTally *t : {&AVideo, &AAudio})
    if (t->Packets > 0) t->End = std::min(t->End, until);
  return true;
}

avbind::TCodecCtxPtr OpenDecoder(const AVStream &AStream, int AThreads)
{
  const AVCodec *codec = AVCodecLib.avcodec_find_decoder(AStream.codecpar->codec_id);
  if (!codec) return nullptr;
  avbind::TCodecCtxPtr dec(AVCodecLib.avcodec_alloc_context3(codec));
  if (!dec || AVCodecLib.avcodec_parameters_to_context(dec.get(), AStream.codecpar) < 0) return nullptr;
  dec->pkt_timebase = AStream.time_base;
  // The whole output is decoded: pictures on every core it may use.
  dec->thread_count = AThreads;
  dec->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
  // Its complaints are counted and summed up in the reason; line by line
  // they would come from the decoder's own threads, which name no task.
  dec->log_level_offset = AV_LOG_VERBOSE - AV_LOG_ERROR;
  if (AVCodecLib.avcodec_open2(dec.get(), codec, nullptr) < 0) return nullptr;
  return dec;
}

// Takes every frame the decoder has ready (all of them once drained).
void Receive(TTally &ATally, AVFrame *AFrame)
{
  for (;;) {
    const int r = AVCodecLib.avcodec_receive_frame(ATally.Decoder.get(), AFrame);
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
    if (r < 0) {
      ++ATally.Errors;
      return;
    }
    ++ATally.Frames;
    if (AFrame->decode_error_flags != 0 || (AFrame->flags & AV_FRAME_FLAG_CORRUPT)) ++ATally.Errors;
    AVUtilLib.av_frame_unref(AFrame);
  }
}

// Reads and decodes the output's first video and audio streams. AReadError:
// the file's data ends before its index says it does.
bool DecodeOutput(const TVerifyRequest &ARequest, TPacketFile &AOut, TTally &AVideo, TTally &AAudio,
                  bool &AReadError, std::string &AError)
{
  if (!AOut.Open(ARequest.Output, AError)) return false;
  AVFormatContext *ctx = AOut.Context();
  AVideo.Index = AOut.First(AVMEDIA_TYPE_VIDEO);
  AAudio.Index = AOut.First(AVMEDIA_TYPE_AUDIO);
  for (TTally *t : {&AVideo, &AAudio}) {
    if (t->Index < 0) continue;
    t->Decoder = OpenDecoder(*ctx->streams[t->Index], ARequest.Threads);
    if (!t->Decoder) {
      AError = avbind::Format("no decoder for the output's %s",
                              {t == &AVideo ? std::string("video") : std::string("audio")});
      return false;
    }
  }
  avbind::TPacketPtr pkt(AVCodecLib.av_packet_alloc());
  avbind::TFramePtr frame(AVUtilLib.av_frame_alloc());
  if (!pkt || !frame) {
    AError = avbind::InputOpenErrorText(ARequest.Output, AVERROR(ENOMEM));
    return false;
  }
  int r = 0;
  while (!(ARequest.Cancelled && ARequest.Cancelled()) && (r = AOut.Read(pkt.get())) >= 0) {
    TTally *t = pkt->stream_index == AVideo.Index ? &AVideo : pkt->stream_index == AAudio.Index ? &AAudio : nullptr;
    if (t) {
      t->Count(*ctx->streams[pkt->stream_index], *pkt, 0.0);
      const int sent = AVCodecLib.avcodec_send_packet(t->Decoder.get(), pkt.get());
      if (sent < 0 && sent != AVERROR(EAGAIN)) ++t->Errors;
      Receive(*t, frame.get());
    }
    AVCodecLib.av_packet_unref(pkt.get());
  }
  AReadError = r != AVERROR_EOF;
  for (TTally *t : {&AVideo, &AAudio}) {
    if (!t->Decoder) continue;
    AVCodecLib.avcodec_send_packet(t->Decoder.get(), nullptr);
    Receive(*t, frame.get());
  }
  return true;
}

std::string Seconds(double ASeconds) { return avbind::Format("%.1f s", {ASeconds}); }

}  // namespace

TVerification VerifyConversion(const TVerifyRequest &ARequest)
{
  const auto started = std::chrono::steady_clock::now();
  TVerification result;
  result.Checked = true;
  auto fail = [&result](const std::string &AWhy) {
    if (result.Reason.empty()) result.Reason = "Verification failed: " + AWhy;
  };
  auto finish = [&] {
    result.Passed = result.Reason.empty();
    result.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return result;
  };

  TTally inVideo, inAudio, outVideo, outAudio;
  double origin = 0;
  std::string error;
  TPacketFile out;
  bool readError = false;
  if (!DecodeOutput(ARequest, out, outVideo, outAudio, readError, error)) {
    fail("the output cannot be read: " + error);
    return finish();
  }
  if (!ReadInput(ARequest, inVideo, inAudio, origin, error)) {
    fail("the input cannot be read again: " + error);
    return finish();
  }
  if (ARequest.Cancelled && ARequest.Cancelled()) return {};
  if (readError) fail("the output's data ends before its index does");

  struct TSide {
    const char *Kind;
    TTally &In, &Out;
    bool Expected;
  };
  for (const TSide &side : {TSide{"video", inVideo, outVideo, ARequest.VideoExpected},
                            TSide{"audio", inAudio, outAudio, ARequest.AudioExpected}}) {
    if (side.Out.Index < 0 && (side.In.Packets == 0 || !side.Expected)) continue;
    const std::string kind = side.Kind;
    TVerifiedStream s;
    s.Kind = kind;
    s.Passed = true;
    auto streamFail = [&](const std::string &AWhy) {
      s.Passed = false;
      fail(AWhy);
    };
    if (side.In.Packets > 0) {
      s.InputSeconds = side.In.End - origin;
      s.InputFrames = side.In.Packets;
    }
    s.OutputFrames = side.Out.Frames;
    s.DecodeErrors = side.Out.Errors;
    if (side.Out.Packets == 0) {
      // A run stopped at its very start may hold no frame of a stream yet.
      if (ARequest.Complete) streamFail("the output has no " + kind);
      result.Streams.push_back(s);
      continue;
    }
    const AVStream &st = *out.Context()->streams[side.Out.Index];
    s.OutputSeconds = std::max(side.Out.End, 0.0);
    // One frame of the output, or 0.2 s when longer.
    const double frame = side.Out.CommonDuration(st);
    const double tolerance = std::max(MinTolerance, frame);
    if (s.DecodeErrors > 0)
      streamFail(avbind::Format(s.DecodeErrors == 1 ? "%d decoding error in the output's %s"
                                                     : "%d decoding errors in the output's %s",
                                {s.DecodeErrors, kind}));
    if (s.InputSeconds >= 0 && ARequest.Complete && std::fabs(s.OutputSeconds - s.InputSeconds) > tolerance)
      streamFail("the output's " + kind + " lasts " + Seconds(s.OutputSeconds) + " of the input's " +
                 Seconds(s.InputSeconds));
    if (s.InputSeconds >= 0 && !ARequest.Complete && s.OutputSeconds > s.InputSeconds + tolerance)
      streamFail("the output's " + kind + " lasts " + Seconds(s.OutputSeconds) + ", longer than the input's " +
                 Seconds(s.InputSeconds));
    if (kind == "video" && ARequest.Complete && s.InputFrames > 0) {
      // A copy carries every picture; an encoder at a constant rate gives
      // the pictures its rate puts into the input's length, as many more or
      // fewer as the length's tolerance allows.
      int64_t slack = 0;
      if (ARequest.VideoCopied) {
        s.ExpectedFrames = s.InputFrames;
      } else if (frame > 0) {
        s.ExpectedFrames = std::llround(s.InputSeconds / frame);
        slack = std::max<int64_t>(1, static_cast<int64_t>(std::ceil(tolerance / frame - 1e-9)));
      }
      if (s.ExpectedFrames >= 0 && std::llabs(s.OutputFrames - s.ExpectedFrames) > slack)
        streamFail(avbind::Format("the output's video holds %d pictures where %d were expected",
                                  {s.OutputFrames, s.ExpectedFrames}));
    }
    result.Streams.push_back(s);
  }
  if (result.Streams.empty()) fail("the output holds no video or audio");
  return finish();
}
