#include "EnhancedFlv.h"

#include <algorithm>
#include <bit>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "AVPtr.h"
#include "Process.h"
#include "TestEnv.h"

namespace qvtest {

namespace {

void PutU(std::string &AOut, uint64_t AValue, int ABytes)
{
  for (int i = ABytes - 1; i >= 0; --i) AOut += static_cast<char>((AValue >> (8 * i)) & 0xff);
}

constexpr uint32_t Fcc(const char (&A)[5])
{
  return (uint32_t(uint8_t(A[0])) << 24) | (uint32_t(uint8_t(A[1])) << 16) | (uint32_t(uint8_t(A[2])) << 8) |
         uint32_t(uint8_t(A[3]));
}

// ---- AMF0, each value already encoded ----

using TProps = std::vector<std::pair<std::string, std::string>>;

std::string AmfNum(double AValue)
{
  std::string out(1, '\x00');
  PutU(out, std::bit_cast<uint64_t>(AValue), 8);
  return out;
}
std::string AmfBool(bool AValue) { return std::string(1, '\x01') + static_cast<char>(AValue); }
std::string AmfStr(const std::string &AText)
{
  std::string out(1, '\x02');
  PutU(out, AText.size(), 2);
  return out + AText;
}
std::string AmfProps(const TProps &AProps)
{
  std::string out;
  for (const auto &[key, value] : AProps) {
    PutU(out, key.size(), 2);
    out += key + value;
  }
  return out + std::string("\x00\x00\x09", 3);
}
std::string AmfObj(const TProps &AProps) { return "\x03" + AmfProps(AProps); }
std::string AmfEcma(const TProps &AProps)
{
  std::string out(1, '\x08');
  PutU(out, AProps.size(), 4);
  return out + AmfProps(AProps);
}

// ---- the source ----

void RunFfmpeg(std::vector<std::string> AArgs)
{
  AArgs.insert(AArgs.begin(), {"ffmpeg", "-nostdin", "-y", "-v", "error"});
  const TProcessResult r = RunProcess(AArgs, 600);
  if (!r.Ok()) throw std::runtime_error(CommandText(AArgs) + " failed:\n" + r.Err);
}

uint32_t FourCCOf(int ACodecId)
{
  switch (ACodecId) {
    case AV_CODEC_ID_H264: return Fcc("avc1");
    case AV_CODEC_ID_HEVC: return Fcc("hvc1");
    case AV_CODEC_ID_AV1: return Fcc("av01");
    case AV_CODEC_ID_VP9: return Fcc("vp09");
    case AV_CODEC_ID_VP8: return Fcc("vp08");
    case AV_CODEC_ID_AAC: return Fcc("mp4a");
    case AV_CODEC_ID_OPUS: return Fcc("Opus");
    case AV_CODEC_ID_FLAC: return Fcc("fLaC");
    case AV_CODEC_ID_AC3: return Fcc("ac-3");
    case AV_CODEC_ID_EAC3: return Fcc("ec-3");
    case AV_CODEC_ID_MP3: return Fcc(".mp3");
    default: return 0;
  }
}

std::string ConfigOf(const AVCodecParameters &APar, const std::string &AExtra)
{
  switch (APar.codec_id) {
    case AV_CODEC_ID_AC3: case AV_CODEC_ID_EAC3: case AV_CODEC_ID_MP3: return {};
    case AV_CODEC_ID_FLAC: {
      if (AExtra.compare(0, 4, "fLaC") == 0) return AExtra;
      std::string out = "fLaC\x80";  // the last metadata block, of type STREAMINFO
      PutU(out, AExtra.size(), 3);
      return out + AExtra;
    }
    case AV_CODEC_ID_VP8: case AV_CODEC_ID_VP9: {
      // VPCodecConfigurationRecord: profile, level, bit depth, 4:2:0
      // subsampling (colocated), limited range, colour values, no init data.
      std::string out;
      out += static_cast<char>(std::max(APar.profile, 0));
      out += static_cast<char>(APar.level > 0 ? APar.level : 10);
      out += static_cast<char>((8 << 4) | (1 << 1) | (APar.color_range == AVCOL_RANGE_JPEG ? 1 : 0));
      out += static_cast<char>(APar.color_primaries);
      out += static_cast<char>(APar.color_trc);
      out += static_cast<char>(APar.color_space);
      PutU(out, 0, 2);
      return out;
    }
    default: return AExtra;
  }
}

// The decoding times of pictures given in decoding order by their
// presentation times: the sorted presentation times, all moved back by the
// least amount that keeps each at or before its own presentation time.
void SetDecodeTimes(std::vector<TSourcePacket> &APackets)
{
  std::vector<int64_t> sorted;
  for (const TSourcePacket &p : APackets) sorted.push_back(p.PtsMs);
  std::sort(sorted.begin(), sorted.end());
  int64_t delay = 0;
  for (size_t i = 0; i < sorted.size(); ++i) delay = std::max(delay, sorted[i] - APackets[i].PtsMs);
  for (size_t i = 0; i < sorted.size(); ++i) APackets[i].DtsMs = sorted[i] - delay;
}

// ---- enhanced and legacy tags ----

enum TUnitKind : uint8_t { ukConfig, ukMeta, ukFrame, ukEnd };

struct TEvent {
  bool Video = true;
  uint8_t Track = 0;
  TUnitKind Unit = ukFrame;
  int64_t Dts = 0;
  int32_t Cts = 0;
  bool Key = true;
  uint32_t FourCC = 0;
  int CodecId = 0;
  std::string Payload;
};

bool HasComposition(int ACodecId) { return ACodecId == AV_CODEC_ID_H264 || ACodecId == AV_CODEC_ID_HEVC; }

uint8_t PacketType(const TEvent &AE)
{
  switch (AE.Unit) {
    case ukConfig: return 0;
    case ukEnd: return 2;
    case ukMeta: return 4;
    default: return AE.Video && HasComposition(AE.CodecId) && AE.Cts == 0 ? 3 : 1;
  }
}

uint8_t FormCode(TTrackForm AForm) { return AForm == TTrackForm::OneTrack ? 0 : AForm == TTrackForm::ManyTracks ? 1 : 2; }

std::string UnitBytes(const TEvent &AE)
{
  std::string out;
  if (AE.Unit == ukFrame && AE.Video && PacketType(AE) == 1 && HasComposition(AE.CodecId))
    PutU(out, static_cast<uint32_t>(AE.Cts) & 0xffffff, 3);
  return out + AE.Payload;
}

std::string EnhancedBody(const std::vector<const TEvent *> &AGroup, TTrackForm AForm, bool ANano)
{
  const TEvent &e = *AGroup.front();
  const bool multi = AForm != TTrackForm::Single && e.Unit != ukMeta;
  const uint8_t type = PacketType(e);
  const int32_t nano = ANano && e.Unit == ukFrame ? NanoOffsetAt(e.Dts) : 0;
  const uint8_t first = e.Video ? 0x80 | ((e.Key ? 1 : 2) << 4) : 0x90;
  const uint8_t next = multi ? (e.Video ? 6 : 5) : type;
  std::string b;
  if (nano) {
    b += static_cast<char>(first | 7);
    b += '\x02';  // three bytes of ModEx data follow
    PutU(b, static_cast<uint32_t>(nano), 3);
    b += static_cast<char>(next);  // TimestampOffsetNano (0) in the top nibble
  } else {
    b += static_cast<char>(first | next);
  }
  if (multi) {
    b += static_cast<char>((FormCode(AForm) << 4) | type);
    if (AForm != TTrackForm::ManyTracksManyCodecs) PutU(b, e.FourCC, 4);
  } else {
    PutU(b, e.FourCC, 4);
  }
  for (const TEvent *u : AGroup) {
    const std::string unit = UnitBytes(*u);
    if (multi) {
      if (AForm == TTrackForm::ManyTracksManyCodecs) PutU(b, u->FourCC, 4);
      b += static_cast<char>(u->Track);
      if (AForm != TTrackForm::OneTrack) PutU(b, unit.size(), 3);
    }
    b += unit;
  }
  return b;
}

std::string LegacyBody(const TEvent &AE)
{
  std::string b;
  if (AE.Video) {
    const int id = AE.CodecId == AV_CODEC_ID_HEVC ? 12 : AE.CodecId == AV_CODEC_ID_H264 ? 7 : -1;
    if (id < 0) throw std::runtime_error("legacy FLV video is AVC or codec-12 HEVC here");
    b += static_cast<char>(((AE.Key ? 1 : 2) << 4) | id);
    b += static_cast<char>(AE.Unit == ukConfig ? 0 : AE.Unit == ukEnd ? 2 : 1);
    PutU(b, static_cast<uint32_t>(AE.Unit == ukFrame ? AE.Cts : 0) & 0xffffff, 3);
  } else if (AE.CodecId == AV_CODEC_ID_AAC) {
    b += '\xaf';
    b += static_cast<char>(AE.Unit == ukConfig ? 0 : 1);
  } else if (AE.CodecId == AV_CODEC_ID_MP3) {
    b += '\x2f';
  } else {
    throw std::runtime_error("legacy FLV audio is AAC or MP3 here");
  }
  return b + AE.Payload;
}

double LegacyCodecId(const TSourceStream &AS)
{
  switch (AS.CodecId) {
    case AV_CODEC_ID_HEVC: return 12;
    case AV_CODEC_ID_H264: return 7;
    case AV_CODEC_ID_AAC: return 10;
    default: return 2;
  }
}

TFlvTag MetaDataTag(const TEnhancedRecipe &ARecipe, const std::vector<TSourceStream> &AStreams,
                    const std::vector<TFlvTrackRef> &ATracks)
{
  auto codecId = [&](const TSourceStream &s) { return ARecipe.Legacy ? LegacyCodecId(s) : double(s.FourCC); };
  TProps props = {{"duration", AmfNum(ARecipe.Seconds)}};
  TProps videoMap, audioMap;
  for (const TFlvTrackRef &t : ATracks) {
    const TSourceStream &s = AStreams[t.Source];
    TProps own = t.Video ? TProps{{"width", AmfNum(s.Width)}, {"height", AmfNum(s.Height)},
                                  {"framerate", AmfNum(25)}, {"videocodecid", AmfNum(codecId(s))}}
                         : TProps{{"audiosamplerate", AmfNum(s.SampleRate)}, {"audiosamplesize", AmfNum(16)},
                                  {"stereo", AmfBool(s.Channels == 2)}, {"audiocodecid", AmfNum(codecId(s))}};
    if (t.TrackId == 0)
      props.insert(props.end(), own.begin(), own.end());
    else
      (t.Video ? videoMap : audioMap).emplace_back(std::to_string(t.TrackId), AmfObj(own));
  }
  if (!videoMap.empty()) props.emplace_back("videoTrackIdInfoMap", AmfObj(videoMap));
  if (!audioMap.empty()) props.emplace_back("audioTrackIdInfoMap", AmfObj(audioMap));
  TFlvTag tag;
  tag.Type = fttScript;
  tag.Data = AmfStr("onMetaData") + AmfEcma(props);
  return tag;
}

std::string ColorInfo(const TSourceStream &AS)
{
  return AmfStr("colorInfo") +
         AmfObj({{"colorConfig", AmfObj({{"bitDepth", AmfNum(8)},
                                         {"colorPrimaries", AmfNum(AS.ColorPrimaries)},
                                         {"transferCharacteristics", AmfNum(AS.ColorTransfer)},
                                         {"matrixCoefficients", AmfNum(AS.ColorMatrix)}})},
                 {"hdrCll", AmfObj({{"maxFall", AmfNum(kColorMaxFall)}, {"maxCLL", AmfNum(kColorMaxCll)}})}});
}

std::vector<std::string> EncoderArgs(const std::string &AEncoder, const std::string &AStream, bool ABFrames)
{
  const std::string bf = ABFrames ? "2" : "0";
  if (AEncoder == "libx264")
    return {"-preset" + AStream, "veryfast", "-g" + AStream, "12", "-keyint_min" + AStream, "12",
            "-sc_threshold" + AStream, "0", "-bf" + AStream, bf, "-x264-params" + AStream, "b-adapt=0"};
  if (AEncoder == "libx265")
    return {"-preset" + AStream, "ultrafast", "-x265-params" + AStream,
            "log-level=error:keyint=12:min-keyint=12:scenecut=0:b-adapt=0:bframes=" + bf};
  if (AEncoder == "libaom-av1") return {"-cpu-used" + AStream, "8", "-g" + AStream, "12"};
  if (AEncoder == "libvpx-vp9" || AEncoder == "libvpx")
    return {"-deadline" + AStream, "realtime", "-cpu-used" + AStream, "8", "-g" + AStream, "12"};
  return {};
}

void EncodeSource(const TEnhancedRecipe &ARecipe, const std::string &APath)
{
  static const char *const sizes[] = {"160x120", "128x96", "96x72"};
  const std::string secs = std::to_string(ARecipe.Seconds);
  const int rate = ARecipe.Legacy ? 44100 : 48000;
  std::vector<std::string> args;
  for (size_t i = 0; i < ARecipe.Video.size(); ++i)
    args.insert(args.end(), {"-f", "lavfi", "-i",
                             "testsrc=d=" + secs + ":r=25:s=" +
                                 (i == 0 && !ARecipe.Size.empty() ? ARecipe.Size : sizes[std::min<size_t>(i, 2)])});
  for (size_t i = 0; i < ARecipe.Audio.size(); ++i)
    args.insert(args.end(), {"-f", "lavfi", "-i",
                             "sine=d=" + secs + ":sample_rate=" + std::to_string(rate) +
                                 ":f=" + std::to_string(440 + 220 * i)});
  for (size_t i = 0; i < ARecipe.Video.size() + ARecipe.Audio.size(); ++i) args.insert(args.end(), {"-map", std::to_string(i)});
  const bool bframes = ARecipe.BFrames && ARecipe.Video.size() == 1;
  for (size_t i = 0; i < ARecipe.Video.size(); ++i) {
    const std::string st = ":v:" + std::to_string(i);
    args.insert(args.end(), {"-c" + st, ARecipe.Video[i]});
    for (std::string &a : EncoderArgs(ARecipe.Video[i], st, bframes)) args.push_back(std::move(a));
  }
  for (size_t i = 0; i < ARecipe.Audio.size(); ++i) {
    const std::string st = ":a:" + std::to_string(i);
    args.insert(args.end(), {"-c" + st, ARecipe.Audio[i], "-ac" + st, "2"});
  }
  if (!ARecipe.Video.empty())
    args.insert(args.end(), {"-pix_fmt:v", "yuv420p", "-color_primaries:v", "bt709", "-color_trc:v", "bt709",
                             "-colorspace:v", "bt709"});
  // Later by 200 ms, so that no decoding time (reorder delay, Opus pre-skip)
  // falls before 0.
  args.insert(args.end(), {"-output_ts_offset", "0.2", APath});
  RunFfmpeg(args);
}

// ---- damage ----

size_t TagOffset(const TFlvFile &AFile, size_t AIndex)
{
  size_t pos = AFile.Header.size();
  for (size_t i = 0; i < AIndex; ++i) pos += 11 + AFile.Tags[i].Data.size() + 4;
  return pos;
}

std::string Garbage(size_t ASize, unsigned ASeed)
{
  std::mt19937 rng(ASeed);
  std::string out(ASize, '\0');
  for (char &c : out) c = static_cast<char>(rng() & 0xff);
  return out;
}

bool IsVideoConfig(const TFlvTag &ATag) { return ATag.IsVideo() && ATag.Data.size() > 1 && ATag.Data[1] == 0; }

TFlvFile CleanH264(const std::string &ADir, const std::string &AName, const std::string &ASize, int ARate, int ABFrames)
{
  const std::string path = ADir + "/" + AName + ".flv";
  if (!std::filesystem::exists(path))
    RunFfmpeg({"-f", "lavfi", "-i", "testsrc=d=2:r=25:s=" + ASize, "-f", "lavfi", "-i",
               "sine=d=2:f=440:sample_rate=" + std::to_string(ARate), "-pix_fmt", "yuv420p", "-c:v", "libx264",
               "-preset", "veryfast", "-g", "12", "-keyint_min", "12", "-sc_threshold", "0", "-bf",
               std::to_string(ABFrames), "-x264-params", "b-adapt=0", "-c:a", "aac", "-ac", "2", "-f", "flv", path});
  return TFlvFile::Load(path);
}

}  // namespace

int32_t NanoOffsetAt(int64_t AMs) { return AMs % 3 == 1 ? static_cast<int32_t>((AMs * 7919 + 1) % 1000000) : 0; }

std::vector<TSourceStream> ReadSource(const std::string &APath)
{
  AVFormatContext *raw = nullptr;
  if (AVFormatLib.avformat_open_input(&raw, APath.c_str(), nullptr, nullptr) < 0)
    throw std::runtime_error("cannot open " + APath);
  avbind::TInputCtxPtr in(raw);
  if (AVFormatLib.avformat_find_stream_info(in.get(), nullptr) < 0) throw std::runtime_error("no stream info: " + APath);
  std::vector<TSourceStream> out(in->nb_streams);
  for (unsigned i = 0; i < in->nb_streams; ++i) {
    const AVCodecParameters &par = *in->streams[i]->codecpar;
    TSourceStream &s = out[i];
    s.Type = par.codec_type;
    s.CodecId = par.codec_id;
    s.Extradata.assign(reinterpret_cast<const char *>(par.extradata), static_cast<size_t>(par.extradata_size));
    s.Config = ConfigOf(par, s.Extradata);
    s.FourCC = FourCCOf(par.codec_id);
    s.Width = par.width;
    s.Height = par.height;
    s.SampleRate = par.sample_rate;
    s.Channels = par.ch_layout.nb_channels;
    s.ColorPrimaries = par.color_primaries;
    s.ColorTransfer = par.color_trc;
    s.ColorMatrix = par.color_space;
  }
  avbind::TPacketPtr pkt(AVCodecLib.av_packet_alloc());
  while (AVFormatLib.av_read_frame(in.get(), pkt.get()) >= 0) {
    const AVStream &st = *in->streams[pkt->stream_index];
    TSourcePacket p;
    p.Data.assign(reinterpret_cast<const char *>(pkt->data), static_cast<size_t>(pkt->size));
    p.PtsMs = AVUtilLib.av_rescale_q(pkt->pts, st.time_base, AVRational{1, 1000});
    p.DtsMs = p.PtsMs;
    p.Key = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
    out[pkt->stream_index].Packets.push_back(std::move(p));
    AVCodecLib.av_packet_unref(pkt.get());
  }
  for (TSourceStream &s : out)
    if (s.Type == AVMEDIA_TYPE_VIDEO) SetDecodeTimes(s.Packets);
  return out;
}

TEnhancedFlv MakeEnhancedFlv(const std::string &ADir, const TEnhancedRecipe &ARecipe)
{
  auto checkForm = [](TTrackForm AForm, size_t ATracks) {
    if (AForm == TTrackForm::Single && ATracks > 1) throw std::runtime_error("several tracks need a multitrack form");
  };
  checkForm(ARecipe.VideoForm, ARecipe.Video.size());
  checkForm(ARecipe.AudioForm, ARecipe.Audio.size());
  if (ARecipe.Legacy && (ARecipe.Video.size() > 1 || ARecipe.Audio.size() > 1 || ARecipe.Nano || ARecipe.ColorInfo ||
                       ARecipe.VideoForm != TTrackForm::Single || ARecipe.AudioForm != TTrackForm::Single))
    throw std::runtime_error("legacy FLV: one track of each kind, no ModEx, no metadata frame");

  TEnhancedFlv made;
  made.Source = ADir + "/" + ARecipe.Name + ".mkv";
  made.Path = ADir + "/" + ARecipe.Name + ".flv";
  EncodeSource(ARecipe, made.Source);
  const std::vector<TSourceStream> streams = ReadSource(made.Source);
  if (streams.size() != ARecipe.Video.size() + ARecipe.Audio.size())
    throw std::runtime_error(made.Source + ": " + std::to_string(streams.size()) + " streams");

  std::vector<TEvent> events;
  for (size_t i = 0; i < streams.size(); ++i) {
    const TSourceStream &s = streams[i];
    const bool video = i < ARecipe.Video.size();
    const auto track = static_cast<uint8_t>(video ? i : i - ARecipe.Video.size());
    made.Tracks.push_back({video, track, static_cast<int>(i)});
    if (s.Packets.empty()) throw std::runtime_error(made.Source + ": an empty stream");
    TEvent base;
    base.Video = video;
    base.Track = track;
    base.FourCC = s.FourCC;
    base.CodecId = s.CodecId;
    base.Dts = s.Packets.front().DtsMs;
    auto add = [&](TUnitKind AUnit, std::string APayload) {
      TEvent e = base;
      e.Unit = AUnit;
      e.Payload = std::move(APayload);
      events.push_back(std::move(e));
    };
    if (!s.Config.empty()) add(ukConfig, s.Config);
    if (video && ARecipe.ColorInfo && track == 0) add(ukMeta, ColorInfo(s));
    for (const TSourcePacket &p : s.Packets) {
      TEvent e = base;
      e.Dts = p.DtsMs;
      e.Cts = static_cast<int32_t>(p.PtsMs - p.DtsMs);
      e.Key = p.Key || !video;
      e.Payload = p.Data;
      events.push_back(std::move(e));
    }
    base.Dts = s.Packets.back().DtsMs;
    if (ARecipe.SequenceEnd && (video || !ARecipe.Legacy)) add(ukEnd, {});
  }
  std::stable_sort(events.begin(), events.end(), [](const TEvent &a, const TEvent &b) {
    if (a.Dts != b.Dts) return a.Dts < b.Dts;
    if (a.Video != b.Video) return a.Video;
    if (a.Unit != b.Unit) return a.Unit < b.Unit;
    return a.Track < b.Track;
  });

  TFlvFile file;
  file.Header = std::string("FLV\x01", 4);
  file.Header += static_cast<char>((ARecipe.Audio.empty() ? 0 : 4) | (ARecipe.Video.empty() ? 0 : 1));
  PutU(file.Header, 9, 4);
  PutU(file.Header, 0, 4);
  file.Tags.push_back(MetaDataTag(ARecipe, streams, made.Tracks));
  for (size_t i = 0; i < events.size();) {
    const TEvent &e = events[i];
    const TTrackForm form = e.Video ? ARecipe.VideoForm : ARecipe.AudioForm;
    std::vector<const TEvent *> group = {&e};
    // Packets of one time, kind, packet type and frame type share a tag.
    const bool many = form == TTrackForm::ManyTracks || form == TTrackForm::ManyTracksManyCodecs;
    while (many && e.Unit != ukMeta && i + group.size() < events.size()) {
      const TEvent &n = events[i + group.size()];
      if (n.Video != e.Video || n.Dts != e.Dts || n.Unit != e.Unit || n.Key != e.Key ||
          PacketType(n) != PacketType(e) || n.Track <= group.back()->Track)
        break;
      group.push_back(&n);
    }
    TFlvTag tag;
    tag.Type = e.Video ? fttVideo : fttAudio;
    tag.Timestamp = e.Dts;
    tag.Data = ARecipe.Legacy ? LegacyBody(e) : EnhancedBody(group, form, ARecipe.Nano);
    file.Tags.push_back(std::move(tag));
    i += group.size();
  }
  file.Save(made.Path);
  return made;
}

const std::vector<TEnhancedRecipe> &EnhancedRecipes()
{
  static const std::vector<TEnhancedRecipe> recipes = [] {
    std::vector<TEnhancedRecipe> v;
    auto add = [&](std::string AName, std::vector<std::string> AVideo, std::vector<std::string> AAudio) -> TEnhancedRecipe & {
      TEnhancedRecipe s;
      s.Name = std::move(AName);
      s.Video = std::move(AVideo);
      s.Audio = std::move(AAudio);
      return v.emplace_back(std::move(s));
    };
    TEnhancedRecipe *s = &add("hvc1_opus_nano_color", {"libx265"}, {"libopus"});
    s->Nano = s->ColorInfo = true;
    add("avc1_mp4a", {"libx264"}, {"aac"});
    add("av01_flac_nano", {"libaom-av1"}, {"flac"}).Nano = true;
    add("vp09_ac3", {"libvpx-vp9"}, {"ac3"});
    add("vp08_eac3_noend", {"libvpx"}, {"eac3"}).SequenceEnd = false;
    add("hvc1_audio_onetrack", {"libx265"}, {"libopus", "libmp3lame"}).AudioForm = TTrackForm::OneTrack;
    s = &add("avc1_audio_manytracks_nano", {"libx264"}, {"aac", "aac"});
    s->AudioForm = TTrackForm::ManyTracks;
    s->Nano = true;
    s = &add("video_manytracks", {"libx264", "libx264"}, {"libopus"});
    s->VideoForm = TTrackForm::ManyTracks;
    s = &add("video_onetrack_noaudio", {"libvpx-vp9", "libaom-av1"}, {});
    s->VideoForm = TTrackForm::OneTrack;
    s = &add("manycodecs", {"libx264", "libx265"}, {"ac3", "eac3"});
    s->VideoForm = s->AudioForm = TTrackForm::ManyTracksManyCodecs;
    add("hevc12_aac", {"libx265"}, {"aac"}).Legacy = true;
    return v;
  }();
  return recipes;
}

const char *DamageName(TDamage ADamage)
{
  switch (ADamage) {
    case TDamage::GarbageBetweenTags: return "GarbageBetweenTags";
    case TDamage::GarbageOverTag: return "GarbageOverTag";
    case TDamage::LateConfig: return "LateConfig";
    case TDamage::ConfigChange: return "ConfigChange";
    case TDamage::CutLastTag: return "CutLastTag";
    case TDamage::NegativeComposition: return "NegativeComposition";
  }
  return "?";
}

TDamagedFlv MakeDamagedFlv(const std::string &ADir, TDamage ADamage)
{
  TDamagedFlv made;
  made.Path = ADir + "/damage-" + DamageName(ADamage) + ".flv";
  TFlvFile f = ADamage == TDamage::NegativeComposition ? CleanH264(ADir, "clean-bframes", "160x120", 44100, 2)
                                                       : CleanH264(ADir, "clean", "160x120", 44100, 0);
  std::string bytes;
  switch (ADamage) {
    case TDamage::GarbageBetweenTags: {
      bytes = f.Bytes();
      bytes.insert(TagOffset(f, f.Tags.size() / 2), Garbage(4096, 1));
      made.Delivered = f;
      break;
    }
    case TDamage::GarbageOverTag: {
      size_t k = f.Tags.size() / 2;
      while (k < f.Tags.size() && !(f.Tags[k].IsAvcPicture() && !f.Tags[k].IsKeyFrame() && f.Tags[k].Data.size() > 64)) ++k;
      if (k == f.Tags.size()) throw std::runtime_error("no video tag to damage");
      bytes = f.Bytes();
      bytes.replace(TagOffset(f, k), 32, Garbage(32, 2));
      made.Delivered = f;
      made.Delivered.Tags.erase(made.Delivered.Tags.begin() + static_cast<ptrdiff_t>(k));
      break;
    }
    case TDamage::LateConfig: {
      const auto config = std::find_if(f.Tags.begin(), f.Tags.end(), IsVideoConfig);
      if (config == f.Tags.end()) throw std::runtime_error("no AVC sequence header");
      TFlvTag header = *config;
      f.Tags.erase(config);
      size_t at = 0;
      for (int pictures = 0; at < f.Tags.size() && pictures < 5; ++at) pictures += f.Tags[at].IsAvcPicture();
      header.Timestamp = f.Tags[at - 1].Timestamp;
      f.Tags.insert(f.Tags.begin() + static_cast<ptrdiff_t>(at), header);
      bytes = f.Bytes();
      // Pictures before the first key frame after the header cannot be decoded.
      made.Delivered = f;
      auto &tags = made.Delivered.Tags;
      bool keyed = false;
      for (size_t i = 0; i < tags.size();) {
        keyed = keyed || (i > at && tags[i].IsAvcPicture() && tags[i].IsKeyFrame());
        if (tags[i].IsAvcPicture() && !keyed)
          tags.erase(tags.begin() + static_cast<ptrdiff_t>(i));
        else
          ++i;
      }
      break;
    }
    case TDamage::ConfigChange: {
      const TFlvFile second = CleanH264(ADir, "clean-176x144-22k", "176x144", 22050, 0);
      const int64_t offset = std::max(f.LastTimestamp(fttVideo), f.LastTimestamp(fttAudio)) + 40;
      for (TFlvTag t : second.Tags)
        if (!t.IsScript()) {
          t.Timestamp += offset;
          f.Tags.push_back(std::move(t));
        }
      bytes = f.Bytes();
      made.Delivered = f;
      break;
    }
    case TDamage::CutLastTag: {
      while (!f.Tags.empty() && !f.Tags.back().CarriesMedia()) f.Tags.pop_back();
      bytes = f.Bytes();
      bytes.resize(TagOffset(f, f.Tags.size() - 1) + 11 + f.Tags.back().Data.size() / 2);
      made.Delivered = f;
      made.Delivered.Tags.pop_back();
      break;
    }
    case TDamage::NegativeComposition: {
      // A recorder that stamps tags with a late decoding time: presentation
      // times stay, the composition times of pictures decoded ahead of
      // others go below zero.
      int32_t most = 0;
      for (const TFlvTag &t : f.Tags)
        if (t.IsAvcPicture()) most = std::max(most, t.CompositionTime());
      bool negative = false;
      for (TFlvTag &t : f.Tags)
        if (t.IsVideo() && !IsVideoConfig(t)) {
          t.Timestamp += most;
          if (t.IsAvcPicture()) t.SetCompositionTime(t.CompositionTime() - most);
          negative = negative || (t.IsAvcPicture() && t.CompositionTime() < 0);
        }
      if (!negative) throw std::runtime_error("no picture decoded ahead of another");
      std::stable_sort(f.Tags.begin(), f.Tags.end(),
                       [](const TFlvTag &a, const TFlvTag &b) { return a.Timestamp < b.Timestamp; });
      bytes = f.Bytes();
      made.Delivered = f;
      break;
    }
  }
  WriteFile(made.Path, bytes);
  return made;
}

}  // namespace qvtest
