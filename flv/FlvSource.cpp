// The reader's tracks as FFmpeg streams (see FlvSource.h).
#include "FlvSource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "AVPtr.h"
#include "OpenErrors.h"
#include "SysFormat.h"

namespace flv {
namespace {

// Names the contexts of this source in reports. It is never handed to
// avformat_open_input, so no field beyond the names is ever read.
const AVInputFormat kFlvFormat = [] {
  AVInputFormat f{};
  f.name = "flv";
  f.long_name = "FLV (Flash Video)";
  return f;
}();

// Packets read ahead to learn the streams' parameters: enough for the
// first pictures of every stream, bounded for files with one stream only.
constexpr std::size_t kProbePackets = 400;
constexpr int64_t kProbeSpanNs = 5'000'000'000;

std::string StripFilePrefix(const std::string &AName)
{
  return AName.rfind("file:", 0) == 0 ? AName.substr(5) : AName;
}

// -1 for a name that is no pipe, else the descriptor it names.
int PipeDescriptor(const std::string &AName)
{
  if (AName == "-" || AName == "pipe:") return 0;
  if (AName.rfind("pipe:", 0) == 0) {
    const std::string n = AName.substr(5);
    if (!n.empty() && std::all_of(n.begin(), n.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return std::stoi(n);
  }
  return -1;
}

AVMediaType MediaTypeOf(const TTrack &ATrack)
{
  if (ATrack.Text) return AVMEDIA_TYPE_SUBTITLE;
  return ATrack.Kind == TKind::Video ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_AUDIO;
}

bool NeedsNalLength(int ACodecId) { return ACodecId == AV_CODEC_ID_H264 || ACodecId == AV_CODEC_ID_HEVC; }

// The NAL length size a configuration record declares (4 when unreadable).
int NalLengthOf(int ACodecId, const std::vector<uint8_t> &AConfig)
{
  if (ACodecId == AV_CODEC_ID_H264 && AConfig.size() >= 5) return (AConfig[4] & 3) + 1;
  if (ACodecId == AV_CODEC_ID_HEVC && AConfig.size() >= 22) return (AConfig[21] & 3) + 1;
  return 4;
}

// The parameter sets of an avcC or hvcC record as length-prefixed NAL
// units, so that a new configuration travels in-band with the next picture:
// decoders take it there, and a stream copy keeps it where players look.
std::vector<uint8_t> ParameterSetsInBand(int ACodecId, const std::vector<uint8_t> &AConfig, int ANalLength)
{
  std::vector<uint8_t> out;
  std::size_t p = 0;
  auto take = [&](std::size_t ALen) {
    if (p + ALen > AConfig.size()) return false;
    for (int i = ANalLength - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(ALen >> (8 * i)));
    out.insert(out.end(), AConfig.begin() + static_cast<long>(p), AConfig.begin() + static_cast<long>(p + ALen));
    p += ALen;
    return true;
  };
  auto u16 = [&](uint32_t &AValue) {
    if (p + 2 > AConfig.size()) return false;
    AValue = (uint32_t(AConfig[p]) << 8) | AConfig[p + 1];
    p += 2;
    return true;
  };
  if (ACodecId == AV_CODEC_ID_H264) {
    if (AConfig.size() < 6) return {};
    p = 5;
    for (int list = 0; list < 2; ++list) {
      if (p >= AConfig.size()) break;
      const int count = list == 0 ? (AConfig[p] & 0x1f) : AConfig[p];
      ++p;
      for (int i = 0; i < count; ++i) {
        uint32_t len = 0;
        if (!u16(len) || !take(len)) return out;
      }
    }
  } else if (ACodecId == AV_CODEC_ID_HEVC) {
    if (AConfig.size() < 23) return {};
    p = 22;
    const int arrays = AConfig[p++];
    for (int a = 0; a < arrays; ++a) {
      if (p >= AConfig.size()) break;
      ++p;  // completeness and NAL type
      uint32_t count = 0;
      if (!u16(count)) break;
      for (uint32_t i = 0; i < count; ++i) {
        uint32_t len = 0;
        if (!u16(len) || !take(len)) return out;
      }
    }
  }
  return out;
}

// The configuration as FFmpeg's decoders and MP4 writer take it as
// extradata; empty where the codec keeps none there.
std::vector<uint8_t> ExtradataOf(int ACodecId, const std::vector<uint8_t> &AConfig)
{
  switch (ACodecId) {
    case AV_CODEC_ID_FLAC:
      // A stream marker and block header may come first; the MP4 writer takes
      // the bare 34-byte stream information.
      if (AConfig.size() >= 42 && std::memcmp(AConfig.data(), "fLaC", 4) == 0)
        return std::vector<uint8_t>(AConfig.begin() + 8, AConfig.begin() + 42);
      return AConfig;
    case AV_CODEC_ID_VP8:
    case AV_CODEC_ID_VP9:
      return {};  // the decoders read everything from the frames
    default:
      return AConfig;
  }
}

bool SetExtradata(AVCodecParameters *APar, const std::vector<uint8_t> &AData)
{
  AVUtilLib.av_freep(&APar->extradata);
  APar->extradata_size = 0;
  if (AData.empty()) return true;
  APar->extradata = static_cast<uint8_t *>(AVUtilLib.av_mallocz(AData.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  if (!APar->extradata) return false;
  std::memcpy(APar->extradata, AData.data(), AData.size());
  APar->extradata_size = static_cast<int>(AData.size());
  return true;
}

// Rates players expect, which millisecond timestamps only approximate.
const AVRational kStandardRates[] = {{24000, 1001}, {24, 1}, {25, 1}, {30000, 1001}, {30, 1}, {50, 1},
                                     {60000, 1001}, {60, 1}, {15, 1}, {12, 1},       {10, 1}, {20, 1},
                                     {5, 1},        {25, 2}, {8, 1},  {6, 1},        {1, 1},  {120, 1},
                                     {48, 1},       {100, 1}, {2, 1}, {3, 1},        {4, 1},  {7, 1}};

AVRational SnapFrameRate(double AFps, double ATolerance = 0.005)
{
  const auto &kRates = kStandardRates;
  if (!(AFps > 0) || AFps > 1000) return {0, 1};
  const AVRational *best = nullptr;
  for (const AVRational &r : kRates)
    if (std::fabs(AFps - av_q2d(r)) <= av_q2d(r) * ATolerance &&
        (!best || std::fabs(AFps - av_q2d(r)) < std::fabs(AFps - av_q2d(*best))))
      best = &r;
  if (best) return *best;
  int num = 0, den = 0;
  AVUtilLib.av_reduce(&num, &den, std::llround(AFps * 1000), 1000, 1 << 30);
  return {num, den};
}

std::string UnreadableText(const TTrack &ATrack)
{
  const char *what = ATrack.Kind == TKind::Video ? "video" : "sound";
  if (ATrack.Enhanced)
    return avbind::Format("This file's %s uses a codec this program cannot decode: FourCC '%s'",
                          {what, FourCCText(ATrack.FourCCValue)});
  return avbind::Format("This file's %s uses a codec this program cannot decode: FLV codec id %d",
                        {what, static_cast<int>(ATrack.LegacyId)});
}

// The 48 kHz samples of an Opus packet, from its table-of-contents byte.
int64_t OpusSamples(const uint8_t *AData, int ASize)
{
  const int config = AData[0] >> 3;
  int64_t frame;  // in 48 kHz samples
  if (config < 12)
    frame = (const int[]){480, 960, 1920, 2880}[config & 3];  // SILK: 10, 20, 40, 60 ms
  else if (config < 16)
    frame = 480 << (config & 1);  // hybrid: 10, 20 ms
  else
    frame = 120 << (config & 3);  // CELT: 2.5, 5, 10, 20 ms
  const int code = AData[0] & 3;
  const int frames = code == 0 ? 1 : code < 3 ? 2 : ASize > 1 ? (AData[1] & 0x3f) : 0;
  return frame * frames;
}

// A packet's length as the streams' parameters tell it: writers end the last
// sample of a track with it, and a sample of no length falls out of an MP4's
// edit list.
int64_t PacketDuration(const AVStream *AStream, int ASize, const uint8_t *AData = nullptr)
{
  const AVCodecParameters *par = AStream->codecpar;
  if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
    const AVRational r = AStream->r_frame_rate;
    if (r.num <= 0 || r.den <= 0) return 0;
    if (r.num == AStream->time_base.den && r.den == AStream->time_base.num) return 0;  // a rate nobody knows
    return AVUtilLib.av_rescale_q(1, AVRational{r.den, r.num}, AStream->time_base);
  }
  if (par->codec_type != AVMEDIA_TYPE_AUDIO || par->sample_rate <= 0) return 0;
  int64_t samples = par->frame_size;
  if (par->codec_id == AV_CODEC_ID_OPUS && AData && ASize > 0) samples = OpusSamples(AData, ASize);
  const int bits = AVCodecLib.av_get_bits_per_sample(par->codec_id);  // PCM and G.711: by the bytes
  if (bits > 0 && par->ch_layout.nb_channels > 0)
    samples = int64_t(ASize) * 8 / (int64_t(bits) * par->ch_layout.nb_channels);
  if (samples <= 0) return 0;
  return AVUtilLib.av_rescale_q(samples, AVRational{1, par->sample_rate}, AStream->time_base);
}

int64_t NsToTb(int64_t ANs, AVRational ATb)
{
  // Millisecond or microsecond bases: floor division keeps negative times in order.
  const int64_t unit = ATb.den == 1000 ? 1000000 : 1000;
  return ANs >= 0 ? ANs / unit : -((-ANs + unit - 1) / unit);
}

}  // namespace

int CodecIdOf(const TTrack &ATrack)
{
  if (ATrack.Text) return AV_CODEC_ID_TEXT;
  switch (ATrack.Codec) {
    case TCodec::SorensonH263: return AV_CODEC_ID_FLV1;
    case TCodec::ScreenVideo: return AV_CODEC_ID_FLASHSV;
    case TCodec::VP6: return AV_CODEC_ID_VP6F;
    case TCodec::VP6Alpha: return AV_CODEC_ID_VP6A;
    case TCodec::ScreenVideo2: return AV_CODEC_ID_FLASHSV2;
    case TCodec::AVC: return AV_CODEC_ID_H264;
    case TCodec::HEVC: return AV_CODEC_ID_HEVC;
    case TCodec::AV1: return AV_CODEC_ID_AV1;
    case TCodec::VP9: return AV_CODEC_ID_VP9;
    case TCodec::VP8: return AV_CODEC_ID_VP8;
    case TCodec::PcmPlatform:
    case TCodec::PcmLE: return ATrack.Bits == 8 ? AV_CODEC_ID_PCM_U8 : AV_CODEC_ID_PCM_S16LE;
    case TCodec::AdpcmSwf: return AV_CODEC_ID_ADPCM_SWF;
    case TCodec::MP3:
    case TCodec::MP3_8k: return AV_CODEC_ID_MP3;
    case TCodec::Nellymoser16k:
    case TCodec::Nellymoser8k:
    case TCodec::Nellymoser: return AV_CODEC_ID_NELLYMOSER;
    case TCodec::G711ALaw: return AV_CODEC_ID_PCM_ALAW;
    case TCodec::G711MuLaw: return AV_CODEC_ID_PCM_MULAW;
    case TCodec::AAC: return AV_CODEC_ID_AAC;
    case TCodec::Speex: return AV_CODEC_ID_SPEEX;
    case TCodec::Opus: return AV_CODEC_ID_OPUS;
    case TCodec::FLAC: return AV_CODEC_ID_FLAC;
    case TCodec::AC3: return AV_CODEC_ID_AC3;
    case TCodec::EAC3: return AV_CODEC_ID_EAC3;
    case TCodec::Unknown: break;
  }
  return AV_CODEC_ID_NONE;
}

bool TFlvSource::Claims(const std::string &AFileName, bool AForced)
{
  const std::string path = StripFilePrefix(AFileName);
  if (PipeDescriptor(path) >= 0) return AForced;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;  // the demuxer reports why it cannot be opened
  struct stat st {};
  uint8_t head[kFileHeaderSize] = {};
  ssize_t got = 0;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) got = read(fd, head, sizeof head);
  close(fd);
  if (!S_ISREG(st.st_mode)) return AForced;
  return AForced || (got == static_cast<ssize_t>(sizeof head) && LooksLikeFlv(head, sizeof head));
}

std::unique_ptr<TFlvSource> TFlvSource::Open(const std::string &AFileName, TLog ALog, std::string &AError)
{
  std::unique_ptr<TFlvSource> source(new TFlvSource());
  source->FLog = std::move(ALog);
  if (!source->Build(AFileName, AError)) return nullptr;
  return source;
}

TFlvSource::~TFlvSource()
{
  if (FContext) AVFormatLib.avformat_free_context(FContext);
}

bool TFlvSource::Build(const std::string &AFileName, std::string &AError)
{
  const std::string path = StripFilePrefix(AFileName);
  const int pipeFd = PipeDescriptor(path);
  if (pipeFd >= 0) {
    FBytes = std::make_unique<TFdSource>(pipeFd, false);
  } else {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      AError = avbind::InputOpenErrorText(AFileName, AVERROR(errno));
      return false;
    }
    FBytes = std::make_unique<TFdSource>(fd, true);
  }
  FReader = std::make_unique<TReader>(*FBytes, FLog);
  std::string why;
  if (!FReader->Open(why)) {
    AError = avbind::Format("%s: %s", {AFileName, why});
    return false;
  }

  FContext = AVFormatLib.avformat_alloc_context();
  if (!FContext) {
    AError = avbind::InputOpenErrorText(AFileName, AVERROR(ENOMEM));
    return false;
  }
  FContext->iformat = &kFlvFormat;
  FContext->url = AVUtilLib.av_strdup(AFileName.c_str());

  const std::vector<TTrack> &tracks = FReader->Tracks();
  FStreamOf.assign(tracks.size(), -1);
  // Kinds keep the order they first appear in; within a kind, track 0 (the
  // publisher's default) comes first, whichever track's tag came first.
  std::vector<const TTrack *> ordered;
  for (const TTrack &t : tracks) ordered.push_back(&t);
  auto kindRank = [&](const TTrack &ATrack) {
    for (const TTrack &t : tracks)
      if (t.Text == ATrack.Text && (t.Text || t.Kind == ATrack.Kind)) return t.Index;
    return ATrack.Index;
  };
  std::stable_sort(ordered.begin(), ordered.end(), [&](const TTrack *a, const TTrack *b) {
    return std::make_pair(kindRank(*a), a->TrackId) < std::make_pair(kindRank(*b), b->TrackId);
  });
  for (const TTrack *tp : ordered) {
    const TTrack &t = *tp;
    const int id = CodecIdOf(t);
    if (id == AV_CODEC_ID_NONE) {
      FUnreadable.push_back(UnreadableText(t));
      if (FLog) FLog(1, FUnreadable.back());
      continue;
    }
    AVStream *st = AVFormatLib.avformat_new_stream(FContext, nullptr);
    if (!st) {
      AError = avbind::InputOpenErrorText(AFileName, AVERROR(ENOMEM));
      return false;
    }
    FStreamOf[static_cast<std::size_t>(t.Index)] = st->index;
    FNalLength.push_back(NeedsNalLength(id) ? NalLengthOf(id, t.Config) : 0);
    st->id = t.TrackId;
    st->time_base = t.UsesNano ? AVRational{1, 1000000} : AVRational{1, 1000};
    AVCodecParameters *par = st->codecpar;
    par->codec_type = MediaTypeOf(t);
    par->codec_id = static_cast<AVCodecID>(id);
    if (!SetExtradata(par, ExtradataOf(id, t.Config))) {
      AError = avbind::InputOpenErrorText(AFileName, AVERROR(ENOMEM));
      return false;
    }
    if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
      int rate = t.SampleRate, channels = t.MultichannelCount > 0 ? t.MultichannelCount : t.Channels;
      if (id == AV_CODEC_ID_SPEEX) rate = 16000, channels = 1;
      if (id == AV_CODEC_ID_OPUS) rate = 48000;
      // G.711 is telephone sound: 8 kHz whatever the rate bits say.
      if (id == AV_CODEC_ID_PCM_ALAW || id == AV_CODEC_ID_PCM_MULAW) rate = 8000;
      if (rate > 0) par->sample_rate = rate;
      if (channels > 0) AVUtilLib.av_channel_layout_default(&par->ch_layout, channels);
      if (t.Bits > 0 && (id == AV_CODEC_ID_PCM_U8 || id == AV_CODEC_ID_PCM_S16LE)) par->bits_per_coded_sample = t.Bits;
    }
    if (par->codec_type == AVMEDIA_TYPE_VIDEO && t.Color.Present()) {
      if (t.Color.ColorPrimaries >= 0) par->color_primaries = static_cast<AVColorPrimaries>(t.Color.ColorPrimaries);
      if (t.Color.TransferCharacteristics >= 0)
        par->color_trc = static_cast<AVColorTransferCharacteristic>(t.Color.TransferCharacteristics);
      if (t.Color.MatrixCoefficients >= 0) par->color_space = static_cast<AVColorSpace>(t.Color.MatrixCoefficients);
    }
    if (t.ConfigChanges > 0 || t.ParamsChange)
      AVUtilLib.av_dict_set(&st->metadata, "config_changes", std::to_string(std::max(t.ConfigChanges, 1)).c_str(), 0);
    if (t.FirstMs != INT64_MIN && t.LastMs != INT64_MIN && t.LastMs > t.FirstMs)
      st->duration = AVUtilLib.av_rescale_q(t.LastMs - t.FirstMs, AVRational{1, 1000}, st->time_base);
    // Live recordings drop and jitter pictures: the rate they are meant to
    // come at is the standard rate nearest their average step (holes and
    // jumps left out). The metadata's rate only for a lone picture.
    if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
      double fps = FReader->Meta().FrameRate;
      if (t.Steps * 2 >= t.Packets - 1 && t.StepSumMs > 0)
        fps = static_cast<double>(t.Steps) * 1000.0 / static_cast<double>(t.StepSumMs);
      else if (t.Packets > 1 && t.LastMs > t.FirstMs)
        fps = static_cast<double>(t.Packets - 1) * 1000.0 / static_cast<double>(t.LastMs - t.FirstMs);
      if (fps > 0) {
        st->avg_frame_rate = SnapFrameRate(fps);
        st->r_frame_rate = SnapFrameRate(fps, 0.02);
      } else {
        st->r_frame_rate = AVRational{st->time_base.den, st->time_base.num};  // unknown: the time base, as demuxers say it
      }
    }
  }
  if (FContext->nb_streams == 0 && FUnreadable.empty()) {
    AError = avbind::Format("%s: no audio or video data could be read", {AFileName});
    return false;
  }
  // A picture or sound this program cannot decode is no conversion to
  // report as done: the file fails, naming what it holds, unless another
  // track of the same kind can stand for it.
  for (const TTrack &t : tracks) {
    if (CodecIdOf(t) != AV_CODEC_ID_NONE) continue;
    const AVMediaType kind = MediaTypeOf(t);
    bool covered = false;
    for (unsigned i = 0; i < FContext->nb_streams; ++i)
      covered = covered || FContext->streams[i]->codecpar->codec_type == kind;
    if (!covered) {
      AError = UnreadableText(t);
      return false;
    }
  }

  // The format's own description: tags of onMetaData, the length the tags
  // span (the metadata's duration only where nothing better is known).
  // The technical properties become the streams' parameters; the rest
  // (encoder, creation date, server, ...) are the file's tags.
  static const char *const kTechnical[] = {
      "duration", "width", "height", "videodatarate", "framerate", "videocodecid", "audiodatarate",
      "audiosamplerate", "audiosamplesize", "stereo", "audiocodecid", "filesize", "datasize", "videosize",
      "audiosize", "lasttimestamp", "lastkeyframetimestamp", "lastkeyframelocation", "canSeekToEnd",
      "hasVideo", "hasAudio", "hasMetadata", "hasKeyframes", "hasCuePoints", "keyframes"};
  for (const auto &tag : FReader->Meta().Tags) {
    const bool technical = std::any_of(std::begin(kTechnical), std::end(kTechnical),
                                       [&](const char *k) { return tag.first == k; });
    if (!technical) AVUtilLib.av_dict_set(&FContext->metadata, tag.first.c_str(), tag.second.c_str(), 0);
  }
  if (!ProbeStreams()) {
    AError = avbind::Format("%s: no audio or video data could be read", {AFileName});
    return false;
  }
  // The length is what the tags span, from the first presentation to the end
  // of the last packet; onMetaData's duration, which recorders get wrong,
  // only where the tags were not all seen (a pipe).
  int64_t endUs = AV_NOPTS_VALUE;
  for (const TTrack &t : tracks) {
    const int stream = FStreamOf[static_cast<std::size_t>(t.Index)];
    if (stream < 0 || t.LastPtsMs == INT64_MIN || t.Text) continue;
    const AVStream *st = FContext->streams[stream];
    const int lastSize = t.Packets > 0 ? static_cast<int>(t.Bytes / t.Packets) : 0;  // PCM's length goes by its bytes
    const int64_t last = AVUtilLib.av_rescale_q(PacketDuration(st, lastSize), st->time_base, AVRational{1, 1000000});
    endUs = std::max(endUs == AV_NOPTS_VALUE ? INT64_MIN : endUs, t.LastPtsMs * 1000 + last);
  }
  if (FReader->DurationMs() >= 0 && endUs != AV_NOPTS_VALUE && FContext->start_time != AV_NOPTS_VALUE)
    FContext->duration = endUs > FContext->start_time ? endUs - FContext->start_time : AV_NOPTS_VALUE;
  else if (FReader->Meta().Duration > 0)
    FContext->duration = std::llround(FReader->Meta().Duration * 1e6);
  const int64_t size = FBytes->Size();
  if (size > 0 && FContext->duration > 0)
    FContext->bit_rate = AVUtilLib.av_rescale(size, 8 * 1000000LL, FContext->duration);
  return true;
}

// Reads the first packets of the file (kept for Read) and decodes a little
// of each stream, so the streams tell their picture size, pixel and sample
// formats and layout as a demuxer's probe would.
bool TFlvSource::ProbeStreams()
{
  const unsigned count = FContext->nb_streams;
  std::vector<avbind::TCodecCtxPtr> decoders(count);
  std::vector<bool> done(count, false), started(count, false);
  std::vector<int64_t> firstPts(count, AV_NOPTS_VALUE);
  avbind::TPacketPtr pkt(AVCodecLib.av_packet_alloc());
  avbind::TFramePtr frame(AVUtilLib.av_frame_alloc());
  if (!pkt || !frame) return false;
  for (unsigned i = 0; i < count; ++i) {
    AVStream *st = FContext->streams[i];
    if (st->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE) {
      done[i] = true;
      continue;
    }
    const AVCodec *codec = AVCodecLib.avcodec_find_decoder(st->codecpar->codec_id);
    if (!codec) {
      done[i] = true;  // a copy may still carry it; converting it fails later by name
      continue;
    }
    avbind::TCodecCtxPtr dec(AVCodecLib.avcodec_alloc_context3(codec));
    if (!dec || AVCodecLib.avcodec_parameters_to_context(dec.get(), st->codecpar) < 0) return false;
    dec->pkt_timebase = st->time_base;
    dec->thread_count = 1;
    if (AVCodecLib.avcodec_open2(dec.get(), codec, nullptr) < 0) {
      done[i] = true;
      continue;
    }
    decoders[i] = std::move(dec);
  }

  int64_t firstNs = INT64_MIN;
  TPacket in;
  while (FQueued.size() < kProbePackets && FReader->Next(in)) {
    const int stream = in.Stream >= 0 && static_cast<std::size_t>(in.Stream) < FStreamOf.size()
                           ? FStreamOf[static_cast<std::size_t>(in.Stream)]
                           : -1;
    if (stream < 0) continue;
    if (firstNs == INT64_MIN) firstNs = in.DtsNs;
    FQueued.push_back(in);
    const unsigned s = static_cast<unsigned>(stream);
    if (firstPts[s] == AV_NOPTS_VALUE) firstPts[s] = NsToTb(in.PtsNs, FContext->streams[s]->time_base);
    if (!done[s] && decoders[s]) {
      // The copy handed to the decoder is built as Read builds it.
      TPacket copy = in;
      if (Deliver(copy, pkt.get()) == 0) {
        if (AVCodecLib.avcodec_send_packet(decoders[s].get(), pkt.get()) >= 0 &&
            AVCodecLib.avcodec_receive_frame(decoders[s].get(), frame.get()) >= 0) {
          AVCodecParameters *par = FContext->streams[s]->codecpar;
          std::vector<uint8_t> extradata(par->extradata, par->extradata + par->extradata_size);
          AVCodecLib.avcodec_parameters_from_context(par, decoders[s].get());
          SetExtradata(par, extradata);  // the file's record, not what the decoder made of it
          // Decoders of fixed-length frames (AC-3, FLAC) tell the length by their frames only.
          if (par->codec_type == AVMEDIA_TYPE_AUDIO && par->frame_size <= 0) par->frame_size = frame->nb_samples;
          done[s] = true;
          AVUtilLib.av_frame_unref(frame.get());
        }
        AVCodecLib.av_packet_unref(pkt.get());
      }
    }
    if (std::all_of(done.begin(), done.end(), [](bool d) { return d; })) break;
    if (in.DtsNs - firstNs > kProbeSpanNs) break;
  }
  int64_t startUs = AV_NOPTS_VALUE;
  for (unsigned i = 0; i < count; ++i) {
    AVStream *st = FContext->streams[i];
    if (firstPts[i] == AV_NOPTS_VALUE) continue;
    st->start_time = firstPts[i];
    const int64_t us = AVUtilLib.av_rescale_q(firstPts[i], st->time_base, AVRational{1, 1000000});
    if (startUs == AV_NOPTS_VALUE || us < startUs) startUs = us;
  }
  FContext->start_time = startUs;
  return true;
}

int TFlvSource::Read(AVPacket *APacket)
{
  for (;;) {
    if (FQueuedNext < FQueued.size()) {
      const int r = Deliver(FQueued[FQueuedNext++], APacket);
      if (FQueuedNext == FQueued.size()) {
        FQueued.clear();
        FQueuedNext = 0;
      }
      if (r != AVERROR(EAGAIN)) return r;
      continue;
    }
    if (!FReader->Next(FPacket)) return FReader->ReadFailed() ? AVERROR(EIO) : AVERROR_EOF;
    const int r = Deliver(FPacket, APacket);
    if (r != AVERROR(EAGAIN)) return r;
  }
}

// Builds APacket from AIn; EAGAIN for a packet of no stream.
int TFlvSource::Deliver(TPacket &AIn, AVPacket *AOut)
{
  if (AIn.Stream < 0 || static_cast<std::size_t>(AIn.Stream) >= FStreamOf.size()) return AVERROR(EAGAIN);
  const int stream = FStreamOf[static_cast<std::size_t>(AIn.Stream)];
  if (stream < 0) return AVERROR(EAGAIN);
  AVStream *st = FContext->streams[stream];
  AVCodecParameters *par = st->codecpar;
  const uint8_t *data = AIn.Data.data();
  std::size_t size = AIn.Data.size();
  std::vector<uint8_t> inBand;
  const int nalLength = FNalLength[static_cast<std::size_t>(stream)];
  if (!AIn.NewConfig.empty() && nalLength > 0)
    inBand = ParameterSetsInBand(par->codec_id, AIn.NewConfig, nalLength);
  if (AVCodecLib.av_new_packet(AOut, static_cast<int>(inBand.size() + size)) < 0) return AVERROR(ENOMEM);
  if (!inBand.empty()) std::memcpy(AOut->data, inBand.data(), inBand.size());
  if (size > 0) std::memcpy(AOut->data + inBand.size(), data, size);
  if (!AIn.NewConfig.empty() && nalLength == 0) {
    const std::vector<uint8_t> extradata = ExtradataOf(par->codec_id, AIn.NewConfig);
    if (!extradata.empty())
      if (uint8_t *side = AVCodecLib.av_packet_new_side_data(AOut, AV_PKT_DATA_NEW_EXTRADATA, extradata.size()))
        std::memcpy(side, extradata.data(), extradata.size());
  }
  AOut->stream_index = stream;
  AOut->dts = NsToTb(AIn.DtsNs, st->time_base);
  AOut->pts = NsToTb(AIn.PtsNs, st->time_base);
  if (AIn.Key || par->codec_type != AVMEDIA_TYPE_VIDEO) AOut->flags |= AV_PKT_FLAG_KEY;
  AOut->pos = AIn.Position;
  AOut->duration = PacketDuration(st, AOut->size, AOut->data);
  return 0;
}

bool TFlvSource::Seek(int64_t AMicroseconds)
{
  if (!FReader->SeekMs(AMicroseconds / 1000)) return false;
  FQueued.clear();
  FQueuedNext = 0;
  return true;
}

}  // namespace flv
