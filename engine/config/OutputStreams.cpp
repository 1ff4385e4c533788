// The streams of an output file: one encoder context per stream, owned by
// the stream's set-up and filled from the pending job settings, which each
// new stream then spends.
#include <cerrno>
#include <cstdlib>
#include <functional>

#include "CodecAliases.h"
#include "CodecThreads.h"
#include "FFmpeg.h"
#include "Rational.h"
#include "SysFormat.h"

using avbind::Format;

namespace {

// One entry of a rate-control override text, parsed before anything is built.
struct TRcEntry {
  int Start, End, Q;
};

// Reads a signed decimal integer; false when there is none.
bool ReadInt(const char *&p, int &AValue)
{
  char *end = nullptr;
  errno = 0;
  const long v = std::strtol(p, &end, 10);
  if (end == p || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return false;
  AValue = static_cast<int>(v);
  p = end;
  return true;
}

// "start,end,q/start,end,q/...": start and end must each be followed by one
// separator character; q ends its entry.
bool ParseRcOverride(const std::string &AText, std::vector<TRcEntry> &AEntries)
{
  const char *p = AText.c_str();
  while (*p) {
    TRcEntry e{};
    if (!ReadInt(p, e.Start) || !*p++) return false;
    if (!ReadInt(p, e.End) || !*p++) return false;
    if (!ReadInt(p, e.Q)) return false;
    AEntries.push_back(e);
    if (*p == '/') ++p;
    else if (*p) return false;
  }
  return true;
}

uint16_t *CopyMatrix(const uint16_t *AMatrix)
{
  if (!AMatrix) return nullptr;
  auto *m = static_cast<uint16_t *>(AVUtilLib.av_malloc(64 * sizeof(uint16_t)));
  if (!m) throw FFMpegException("Could not alloc stream");
  std::copy(AMatrix, AMatrix + 64, m);
  return m;
}

}  // namespace

namespace {

// The file a new stream goes into: a registered file or the one being created.
AVFormatContext *StreamTarget(AVFormatContext *const *AFiles, int AFileIndex)
{
  if (AFileIndex < 0 || AFileIndex >= MaxFiles || !AFiles[AFileIndex])
    throw FFMpegException(Format("Output file #%d does not exist", {AFileIndex}));
  return AFiles[AFileIndex];
}

void CheckStreamRoom(const AVFormatContext *AOc, int AFileIndex)
{
  if (AOc->nb_streams >= static_cast<unsigned>(MaxStreams))
    throw FFMpegException(
        Format("Too many streams in output file #%d: at most %d are allowed", {AFileIndex, MaxStreams}));
}

}  // namespace

void TCustomFFmpeg::FindStreamEncoder(const AVFormatContext *AOc, AVMediaType AKind, const std::string &AName,
                                      AVCodecID &AId, const AVCodec *&ACodec)
{
  if (AName.empty()) {
    AId = AVFormatLib.av_guess_codec(AOc->oformat, nullptr, AOc->url, nullptr, AKind);
    ACodec = AVCodecLib.avcodec_find_encoder(AId);
    return;
  }
  if (!FindCodec(AName, AKind, true, AId)) Fail(LastOptionError);
  std::string used;
  ACodec = engine::FindCodecByName(AName, true, used);
}

AVStream *TCustomFFmpeg::AddEncodedStream(int AFileIndex, AVFormatContext *AOc, const AVCodec *ACodec,
                                          AVMediaType AKind)
{
  AVStream *st = AVFormatLib.avformat_new_stream(AOc, nullptr);
  avbind::TCodecCtxPtr owner(st ? AVCodecLib.avcodec_alloc_context3(ACodec) : nullptr);
  if (!owner) Fail("Could not alloc stream");
  TOutputStreamSetup &setup = FJob.OutputSetups[AFileIndex].Streams[st->index];
  setup = TOutputStreamSetup{};
  setup.Enc = std::move(owner);
  setup.Enc->codec_type = AKind;
  st->codecpar->codec_type = AKind;
  return st;
}

namespace {

// A stream just added to an output file, with the encoder found for it.
struct TNewStream {
  AVFormatContext *Oc = nullptr;
  AVStream *St = nullptr;
  const AVCodec *Codec = nullptr;
  AVCodecID Id = AV_CODEC_ID_NONE;
};

// Every lookup that can fail runs before the stream exists, so a failure
// never leaves a stream without its encoder behind: the target file, room
// for one more stream, the encoder (unless the stream is copied), then
// ACheck. On a failure AOnFailure releases the kind's pending settings and
// the error is raised again.
TNewStream AddStream(TCustomFFmpeg &E, int AFileIndex, AVMediaType AKind, bool ACopy, const std::string &AName,
                     const std::function<void()> &ACheck, const std::function<void()> &AOnFailure)
{
  TNewStream s;
  try {
    s.Oc = StreamTarget(E.OutputFiles, AFileIndex);
    CheckStreamRoom(s.Oc, AFileIndex);
    if (!ACopy) {
      E.FindStreamEncoder(s.Oc, AKind, AName, s.Id, s.Codec);
      if (ACheck) ACheck();
    }
    s.St = E.AddEncodedStream(AFileIndex, s.Oc, s.Codec, AKind);
  } catch (...) {
    AOnFailure();
    throw;
  }
  return s;
}

// The job's generic options of AKind, then the options private to encoders.
void ApplyEncoderOptions(TCustomFFmpeg &E, AVCodecContext *AEnc, AVMediaType AKind, int AKindFlag)
{
  E.ApplyGenericOptions(AEnc, E.Job().CodecOpts[AKind], AKindFlag | AV_OPT_FLAG_ENCODING_PARAM);
  for (const auto &[name, value] : E.Job().PrivateOpts)
    AVUtilLib.av_opt_set(AEnc, name.c_str(), value.c_str(), AV_OPT_SEARCH_CHILDREN);
}

// The frame rate the encoder takes nearest to the job's (25 when none is known).
void SetVideoRate(const TFFmpegSettings &S, const AVCodec *ACodec, AVCodecContext *AEnc, AVStream *ASt)
{
  const AVRational fps = (S.FrameRate.num > 0 && S.FrameRate.den > 0) ? S.FrameRate : AVRational{25, 1};
  AVRational rate = fps;
  if (ACodec && ACodec->supported_framerates) {
    AVRational best = {INT32_MAX, 1};
    for (const AVRational *r = ACodec->supported_framerates; r->den; ++r) {
      AVRational diff = avbind::SubQ(fps, *r);
      diff.num = diff.num < 0 ? -diff.num : diff.num;
      if (avbind::CmpQ(diff, best) < 0) {
        best = diff;
        rate = *r;
      }
    }
  }
  AEnc->time_base = AVRational{rate.den, rate.num};
  AEnc->framerate = rate;
  ASt->time_base = AEnc->time_base;
}

// The padded picture size, its sample aspect from the display aspect, and
// the job's pixel format, or the encoder's first when it cannot take that.
void SetVideoGeometry(const TFFmpegSettings &S, const AVCodec *ACodec, AVCodecContext *AEnc, AVStream *ASt)
{
  AEnc->width = S.FrameWidth + S.FramePadRight + S.FramePadLeft;
  AEnc->height = S.FrameHeight + S.FramePadTop + S.FramePadBottom;
  AEnc->sample_aspect_ratio =
      (AEnc->width > 0 && AEnc->height > 0 && S.FrameAspectRatio > 0)
          ? avbind::D2Q(static_cast<double>(S.FrameAspectRatio) * AEnc->height / AEnc->width, 255)
          : AVRational{0, 1};
  ASt->sample_aspect_ratio = AEnc->sample_aspect_ratio;

  AEnc->pix_fmt = static_cast<AVPixelFormat>(S.FramePixFmt);
  if (ACodec && ACodec->pix_fmts) {
    bool supported = false;
    for (const AVPixelFormat *p = ACodec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p)
      if (*p == AEnc->pix_fmt) supported = true;
    if (!supported) AEnc->pix_fmt = ACodec->pix_fmts[0];
  }
}

// The rate-control overrides, handed to the encoder that frees them.
void SetRcOverrides(const std::vector<TRcEntry> &AEntries, AVCodecContext *AEnc)
{
  if (AEntries.empty()) return;
  auto *ov = static_cast<RcOverride *>(AVUtilLib.av_malloc(AEntries.size() * sizeof(RcOverride)));
  if (!ov) throw FFMpegException("Could not alloc stream");
  for (std::size_t i = 0; i < AEntries.size(); ++i) {
    ov[i].start_frame = AEntries[i].Start;
    ov[i].end_frame = AEntries[i].End;
    if (AEntries[i].Q > 0) {
      ov[i].qscale = AEntries[i].Q;
      ov[i].quality_factor = 1.0f;
    } else {
      ov[i].qscale = 0;
      ov[i].quality_factor = -static_cast<float>(AEntries[i].Q) / 100.0f;
    }
  }
  AEnc->rc_override = ov;
  AEnc->rc_override_count = static_cast<int>(AEntries.size());
}

// A stream's language tag (three letters at most), spent once given.
void SetLanguage(AVStream *ASt, std::string &ALanguage)
{
  if (ALanguage.empty()) return;
  AVUtilLib.av_dict_set(&ASt->metadata, "language", ALanguage.substr(0, 3).c_str(), 0);
  ALanguage.clear();
}

}  // namespace

void TCustomFFmpeg::NewVideoStream(int AFileIndex)
{
  std::vector<TRcEntry> rc;
  const TNewStream s = AddStream(
      *this, AFileIndex, AVMEDIA_TYPE_VIDEO, VideoStreamCopy, VideoCodecName,
      [&] {
        if (!ParseRcOverride(VideoRcOverride, rc)) Fail("error parsing rc_override");
      },
      [this] { VideoCodecName.clear(); });
  TOutputStreamSetup &setup = FJob.OutputSetups[AFileIndex].Streams[s.St->index];
  AVCodecContext *enc = setup.Enc.get();

  enc->thread_count = ThreadCount;
  if (VideoCodecTag != 0) enc->codec_tag = static_cast<unsigned>(VideoCodecTag);
  if ((VideoGlobalHeader & 1) || (VideoGlobalHeader == 0 && (s.Oc->oformat->flags & AVFMT_GLOBALHEADER))) {
    enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (FJob.CodecOpts[AVMEDIA_TYPE_VIDEO]) FJob.CodecOpts[AVMEDIA_TYPE_VIDEO]->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  if (VideoGlobalHeader & 2) {
    enc->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
    if (FJob.CodecOpts[AVMEDIA_TYPE_VIDEO]) FJob.CodecOpts[AVMEDIA_TYPE_VIDEO]->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
  }

  if (VideoStreamCopy) {
    setup.StreamCopy = true;
  } else {
    enc->codec_id = s.Id;
    s.St->codecpar->codec_id = s.Id;
    ApplyEncoderOptions(*this, enc, AVMEDIA_TYPE_VIDEO, AV_OPT_FLAG_VIDEO_PARAM);
    SetVideoRate(*this, s.Codec, enc, s.St);
    SetVideoGeometry(*this, s.Codec, enc, s.St);

    if (IntraOnly) enc->gop_size = 0;
    if (VideoQScale != 0 || SameQuality) {
      enc->flags |= AV_CODEC_FLAG_QSCALE;
      setup.Quality = FF_QP2LAMBDA * VideoQScale;
      enc->global_quality = static_cast<int>(setup.Quality);
    }
    // The context frees its matrices; the job keeps its own for later streams.
    enc->intra_matrix = CopyMatrix(IntraMatrix);
    enc->inter_matrix = CopyMatrix(InterMatrix);
    engine::SetEncoderThreads(*enc, s.Codec, ThreadCount);

    SetRcOverrides(rc, enc);
    if (enc->rc_initial_buffer_occupancy == 0)
      enc->rc_initial_buffer_occupancy = static_cast<int>(static_cast<int64_t>(enc->rc_buffer_size) * 3 / 4);
    enc->intra_dc_precision = IntraDcPrecision - 8;
    if (DoPsnr) enc->flags |= AV_CODEC_FLAG_PSNR;
    if (DoPass == 1) enc->flags |= AV_CODEC_FLAG_PASS1;
    if (DoPass == 2) enc->flags |= AV_CODEC_FLAG_PASS2;
    if (s.Codec && !VideoCodecName.empty()) setup.CodecName = s.Codec->name;
  }

  VideoDisable = 0;
  VideoCodecName.clear();
  VideoStreamCopy = 0;
}

void TCustomFFmpeg::NewAudioStream(int AFileIndex)
{
  const TNewStream s = AddStream(*this, AFileIndex, AVMEDIA_TYPE_AUDIO, AudioStreamCopy, AudioCodecName, nullptr,
                                 [this] {
                                   AudioCodecName.clear();
                                   AudioLanguage.clear();
                                 });
  TOutputStreamSetup &setup = FJob.OutputSetups[AFileIndex].Streams[s.St->index];
  AVCodecContext *enc = setup.Enc.get();

  enc->thread_count = ThreadCount;
  if (AudioCodecTag != 0) enc->codec_tag = static_cast<unsigned>(AudioCodecTag);
  if (s.Oc->oformat->flags & AVFMT_GLOBALHEADER) {
    enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (FJob.CodecOpts[AVMEDIA_TYPE_AUDIO]) FJob.CodecOpts[AVMEDIA_TYPE_AUDIO]->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }

  if (AudioStreamCopy) {
    setup.StreamCopy = true;
  } else {
    ApplyEncoderOptions(*this, enc, AVMEDIA_TYPE_AUDIO, AV_OPT_FLAG_AUDIO_PARAM);
    enc->codec_id = s.Id;
    s.St->codecpar->codec_id = s.Id;
    if (AudioQScale > -99999.0f) {
      enc->flags |= AV_CODEC_FLAG_QSCALE;
      setup.Quality = FF_QP2LAMBDA * AudioQScale;
      enc->global_quality = static_cast<int>(setup.Quality);
    }
    enc->thread_count = ThreadCount;
    if (s.Codec && !AudioCodecName.empty()) setup.CodecName = s.Codec->name;
  }
  AVUtilLib.av_channel_layout_uninit(&enc->ch_layout);
  AVUtilLib.av_channel_layout_default(&enc->ch_layout, AudioChannels);
  enc->sample_rate = AudioSampleRate;
  if (AudioSampleRate > 0) {
    enc->time_base = AVRational{1, AudioSampleRate};
    s.St->time_base = enc->time_base;
  }
  SetLanguage(s.St, AudioLanguage);

  AudioDisable = 0;
  AudioCodecName.clear();
  AudioStreamCopy = 0;
}

void TCustomFFmpeg::NewSubtitleStream(int AFileIndex)
{
  const TNewStream s = AddStream(*this, AFileIndex, AVMEDIA_TYPE_SUBTITLE, SubtitleStreamCopy, SubtitleCodecName,
                                 nullptr, [this] {
                                   SubtitleCodecName.clear();
                                   SubtitleLanguage.clear();
                                 });
  TOutputStreamSetup &setup = FJob.OutputSetups[AFileIndex].Streams[s.St->index];
  AVCodecContext *enc = setup.Enc.get();

  if (SubtitleStreamCopy) {
    setup.StreamCopy = true;
  } else {
    ApplyEncoderOptions(*this, enc, AVMEDIA_TYPE_SUBTITLE, AV_OPT_FLAG_SUBTITLE_PARAM);
    enc->codec_id = s.Id;
    s.St->codecpar->codec_id = s.Id;
    if (s.Codec) setup.CodecName = s.Codec->name;
  }
  SetLanguage(s.St, SubtitleLanguage);

  SubtitleDisable = 0;
  SubtitleCodecName.clear();
  SubtitleStreamCopy = 0;
}
