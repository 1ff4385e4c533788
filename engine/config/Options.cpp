// The option table and its handlers: SetOption maps an option name to its
// effect on the job settings; names the table does not know go to the
// libraries' own option system (SetGenericOption).
//
// Every failure is raised: FFMpegException with a finished message,
// EConvertError for a malformed number, EAssertionFailed for a bad tag.
#include "FFmpeg.h"

#include <cctype>
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <map>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include "AVCodecHlpr.h"
#include "AVFormatHlpr.h"
#include "AVUtilHlpr.h"
#include "LibLoader.h"
#include "MyUtilHlpr.h"
#include "SwScaleHlpr.h"
#include "SysFormat.h"

using avbind::Format;

namespace {

// ---------------------------------------------------------------------------
// Number conversion with the system's rules: integers after leading blanks,
// an optional sign, decimal or hexadecimal ("$", "x", "X", "0x", "0X");
// floating values with the locale's decimal separator. Anything else raises.

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

[[noreturn]] void BadInteger(const std::string &AText)
{
  throw EConvertError(Format("'%s' is not a valid integer value", {AText}));
}

[[noreturn]] void BadFloat(const std::string &AText)
{
  throw EConvertError(Format("'%s' is not a valid floating point value", {AText}));
}

bool TryParseInt(const std::string &AText, int64_t AMin, int64_t AMax, int64_t &AResult)
{
  size_t i = 0;
  const size_t n = AText.size();
  while (i < n && IsBlank(AText[i])) ++i;
  bool negative = false;
  if (i < n && (AText[i] == '+' || AText[i] == '-')) negative = AText[i++] == '-';
  int base = 10;
  if (i < n && AText[i] == '$') {
    base = 16;
    ++i;
  } else if (i < n && (AText[i] == 'x' || AText[i] == 'X')) {
    base = 16;
    ++i;
  } else if (i + 1 < n && AText[i] == '0' && (AText[i + 1] == 'x' || AText[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= n) return false;
  // Accumulate as a negative number so INT64_MIN stays representable.
  int64_t value = 0;
  for (; i < n; ++i) {
    const char c = AText[i];
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return false;
    if (value < (std::numeric_limits<int64_t>::min() + digit) / base) return false;
    value = value * base - digit;
  }
  if (!negative) {
    if (value == std::numeric_limits<int64_t>::min()) return false;
    value = -value;
  }
  if (value < AMin || value > AMax) return false;
  AResult = value;
  return true;
}

int32_t StrToInt(const std::string &AText)
{
  int64_t v;
  if (!TryParseInt(AText, INT32_MIN, INT32_MAX, v)) BadInteger(AText);
  return static_cast<int32_t>(v);
}

int64_t StrToInt64(const std::string &AText)
{
  int64_t v;
  if (!TryParseInt(AText, INT64_MIN, INT64_MAX, v)) BadInteger(AText);
  return v;
}

int32_t StrToIntDef(const std::string &AText, int32_t ADefault)
{
  int64_t v;
  return TryParseInt(AText, INT32_MIN, INT32_MAX, v) ? static_cast<int32_t>(v) : ADefault;
}

// Plain decimal notation only: no hexadecimal floats, "inf" or "nan".
bool TryParseFloat(const std::string &AText, double &AResult)
{
  size_t b = 0, e = AText.size();
  while (b < e && IsBlank(AText[b])) ++b;
  while (e > b && IsBlank(AText[e - 1])) --e;
  const std::string text = AText.substr(b, e - b);
  const char sep = *std::localeconv()->decimal_point;
  size_t i = 0;
  const size_t n = text.size();
  if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
  size_t digits = 0;
  while (i < n && std::isdigit(static_cast<unsigned char>(text[i]))) ++i, ++digits;
  if (i < n && text[i] == sep) {
    ++i;
    while (i < n && std::isdigit(static_cast<unsigned char>(text[i]))) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    size_t expDigits = 0;
    while (i < n && std::isdigit(static_cast<unsigned char>(text[i]))) ++i, ++expDigits;
    if (expDigits == 0) return false;
  }
  if (i != n) return false;
  char *end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + n || !std::isfinite(v)) return false;
  AResult = v;
  return true;
}

double StrToFloat(const std::string &AText)
{
  double v;
  if (!TryParseFloat(AText, v)) BadFloat(AText);
  return v;
}

// For the single-precision settings: a value beyond float range is malformed too.
float StrToFloat32(const std::string &AText)
{
  const double v = StrToFloat(AText);
  if (std::fabs(v) > std::numeric_limits<float>::max()) BadFloat(AText);
  return static_cast<float>(v);
}

double StrToFloatDef(const std::string &AText, double ADefault)
{
  double v;
  return TryParseFloat(AText, v) ? v : ADefault;
}

std::string Trim(const std::string &AText)
{
  size_t b = 0, e = AText.size();
  while (b < e && std::isspace(static_cast<unsigned char>(AText[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(AText[e - 1]))) --e;
  return AText.substr(b, e - b);
}

bool IsBlankText(const std::string &AText) { return Trim(AText).empty(); }

// ---------------------------------------------------------------------------
// The option table.

enum TOptKind {
  okNoOp,         // reports "Do nothing" and takes no value
  okUnsupported,  // raises "TODO"
  okFlag,         // the value is ignored, the setting becomes 1
  okAction,       // takes no value ("vstats", "new*")
  okValue         // takes a value
};

enum TOptId {
  oiNoOp, oiUnsupported,
  oiFormat, oiMap, oiMapMetaData, oiRecordingTime, oiLimitFileSize, oiStartTime, oiInputTsOffset,
  oiInputTsScale, oiRecTimestamp, oiTitle, oiAuthor, oiCopyright, oiComment, oiGenre, oiAlbum,
  oiDataFrames, oiVideoFrames, oiAudioFrames, oiDump, oiHex, oiRateEmu, oiLoopInput, oiLoopOutput,
  oiVerbose, oiTarget, oiVideoSync, oiAudioSync, oiAudioDrift, oiVideoGlobalHeader, oiCopyTs, oiShortest,
  oiDtsDelta, oiProgramId, oiBitRate, oiFrameRate, oiFrameSize, oiAspect, oiPixFmt, oiCropTop,
  oiCropBottom, oiCropLeft, oiCropRight, oiPadTop, oiPadBottom, oiPadLeft, oiPadRight, oiPadColor,
  oiIntra, oiVideoDisable, oiVideoDiscard, oiQScale, oiRcOverride, oiVideoCodec, oiAudioCodec,
  oiSubtitleCodec, oiMeThreshold, oiSameQ, oiPass, oiPassLogFile, oiDeinterlace, oiPsnr, oiVstats,
  oiVstatsFile, oiVhook, oiIntraMatrix, oiInterMatrix, oiTop, oiDc, oiVideoTag, oiAudioTag,
  oiNewVideo, oiNewAudio, oiNewSubtitle, oiQpHist, oiAudioQScale, oiAudioRate, oiAudioChannels,
  oiAudioDisable, oiVolume, oiAudioLanguage, oiSubtitleDisable, oiSubtitleLanguage, oiVideoChannel,
  oiVideoStandard, oiInputSync, oiMuxDelay, oiMuxPreload
};

struct TOptDef {
  TOptId Id;
  TOptKind Kind;
};

const std::unordered_map<std::string_view, TOptDef> &OptionTable()
{
  static const std::unordered_map<std::string_view, TOptDef> table = {
      {"L", {oiNoOp, okNoOp}}, {"h", {oiNoOp, okNoOp}}, {"version", {oiNoOp, okNoOp}},
      {"formats", {oiNoOp, okNoOp}}, {"i", {oiNoOp, okNoOp}}, {"y", {oiNoOp, okNoOp}},
      {"benchmark", {oiNoOp, okNoOp}}, {"apre", {oiNoOp, okNoOp}}, {"vpre", {oiNoOp, okNoOp}},
      {"spre", {oiNoOp, okNoOp}},
      {"threads", {oiUnsupported, okUnsupported}}, {"absf", {oiUnsupported, okUnsupported}},
      {"vbsf", {oiUnsupported, okUnsupported}}, {"sbsf", {oiUnsupported, okUnsupported}},
      {"f", {oiFormat, okValue}}, {"map", {oiMap, okValue}}, {"map_meta_data", {oiMapMetaData, okValue}},
      {"t", {oiRecordingTime, okValue}}, {"fs", {oiLimitFileSize, okValue}}, {"ss", {oiStartTime, okValue}},
      {"itsoffset", {oiInputTsOffset, okValue}}, {"itsscale", {oiInputTsScale, okValue}},
      {"timestamp", {oiRecTimestamp, okValue}}, {"title", {oiTitle, okValue}}, {"author", {oiAuthor, okValue}},
      {"copyright", {oiCopyright, okValue}}, {"comment", {oiComment, okValue}}, {"genre", {oiGenre, okValue}},
      {"album", {oiAlbum, okValue}}, {"dframes", {oiDataFrames, okValue}}, {"vframes", {oiVideoFrames, okValue}},
      {"aframes", {oiAudioFrames, okValue}}, {"dump", {oiDump, okFlag}}, {"hex", {oiHex, okFlag}},
      {"re", {oiRateEmu, okFlag}}, {"loop_input", {oiLoopInput, okFlag}},
      {"loop_output", {oiLoopOutput, okValue}}, {"v", {oiVerbose, okValue}}, {"target", {oiTarget, okValue}},
      {"vsync", {oiVideoSync, okValue}}, {"async", {oiAudioSync, okValue}},
      {"adrift_threshold", {oiAudioDrift, okValue}}, {"vglobal", {oiVideoGlobalHeader, okValue}},
      {"copyts", {oiCopyTs, okFlag}}, {"shortest", {oiShortest, okFlag}},
      {"dts_delta_threshold", {oiDtsDelta, okValue}}, {"programid", {oiProgramId, okValue}},
      {"b", {oiBitRate, okValue}}, {"vb", {oiBitRate, okValue}}, {"ab", {oiBitRate, okValue}},
      {"r", {oiFrameRate, okValue}}, {"s", {oiFrameSize, okValue}}, {"aspect", {oiAspect, okValue}},
      {"pix_fmt", {oiPixFmt, okValue}}, {"croptop", {oiCropTop, okValue}}, {"cropbottom", {oiCropBottom, okValue}},
      {"cropleft", {oiCropLeft, okValue}}, {"cropright", {oiCropRight, okValue}}, {"padtop", {oiPadTop, okValue}},
      {"padbottom", {oiPadBottom, okValue}}, {"padleft", {oiPadLeft, okValue}},
      {"padright", {oiPadRight, okValue}}, {"padcolor", {oiPadColor, okValue}}, {"intra", {oiIntra, okFlag}},
      {"vn", {oiVideoDisable, okFlag}}, {"vdt", {oiVideoDiscard, okValue}}, {"qscale", {oiQScale, okValue}},
      {"rc_override", {oiRcOverride, okValue}}, {"vcodec", {oiVideoCodec, okValue}},
      {"acodec", {oiAudioCodec, okValue}}, {"scodec", {oiSubtitleCodec, okValue}},
      {"me_threshold", {oiMeThreshold, okValue}}, {"sameq", {oiSameQ, okFlag}}, {"pass", {oiPass, okValue}},
      {"passlogfile", {oiPassLogFile, okValue}}, {"deinterlace", {oiDeinterlace, okFlag}},
      {"psnr", {oiPsnr, okFlag}}, {"vstats", {oiVstats, okAction}}, {"vstats_file", {oiVstatsFile, okValue}},
      {"vhook", {oiVhook, okValue}}, {"intra_matrix", {oiIntraMatrix, okValue}},
      {"inter_matrix", {oiInterMatrix, okValue}}, {"top", {oiTop, okValue}}, {"dc", {oiDc, okValue}},
      {"vtag", {oiVideoTag, okValue}}, {"atag", {oiAudioTag, okValue}}, {"newvideo", {oiNewVideo, okAction}},
      {"newaudio", {oiNewAudio, okAction}}, {"newsubtitle", {oiNewSubtitle, okAction}},
      {"qphist", {oiQpHist, okFlag}}, {"aq", {oiAudioQScale, okValue}}, {"ar", {oiAudioRate, okValue}},
      {"ac", {oiAudioChannels, okValue}}, {"an", {oiAudioDisable, okFlag}}, {"vol", {oiVolume, okValue}},
      {"alang", {oiAudioLanguage, okValue}}, {"sn", {oiSubtitleDisable, okFlag}},
      {"slang", {oiSubtitleLanguage, okValue}}, {"vc", {oiVideoChannel, okValue}},
      {"tvstd", {oiVideoStandard, okValue}}, {"isync", {oiInputSync, okFlag}},
      {"muxdelay", {oiMuxDelay, okValue}}, {"muxpreload", {oiMuxPreload, okValue}},
  };
  return table;
}

// ---------------------------------------------------------------------------
// Options that 5.1 keeps in an encoder's or muxer's private option set.
// Walking every codec and muxer is cheap but not free, so the answer per
// name is kept: the names of the encoders and muxers whose private class has
// the option. Names, not pointers, so a reload of the libraries cannot leave
// dangling entries.

struct TPrivateOwners {
  std::vector<std::string> Encoders;
  std::vector<std::string> Muxers;
};

std::mutex PrivateCacheLock;
std::map<std::string, TPrivateOwners> PrivateCache;

TPrivateOwners FindPrivateOwners(const std::string &AName)
{
  std::lock_guard<std::mutex> lock(PrivateCacheLock);
  if (auto it = PrivateCache.find(AName); it != PrivateCache.end()) return it->second;
  TPrivateOwners owners;
  void *it = nullptr;
  while (const AVCodec *codec = AVCodecLib.av_codec_iterate(&it)) {
    if (!codec->priv_class || !AVCodecLib.av_codec_is_encoder(codec)) continue;
    const AVClass *cls = codec->priv_class;
    if (AVUtilLib.av_opt_find(&cls, AName.c_str(), nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ))
      owners.Encoders.push_back(codec->name);
  }
  it = nullptr;
  while (const AVOutputFormat *fmt = AVFormatLib.av_muxer_iterate(&it)) {
    if (!fmt->priv_class) continue;
    const AVClass *cls = fmt->priv_class;
    if (AVUtilLib.av_opt_find(&cls, AName.c_str(), nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ))
      owners.Muxers.push_back(fmt->name);
  }
  // The cache serves the handful of names real jobs use; arbitrary names
  // (typing errors, scripts) must not grow it without end.
  constexpr std::size_t kMaxCachedNames = 256;
  if (PrivateCache.size() < kMaxCachedNames) PrivateCache.emplace(AName, owners);
  return owners;
}

// True when at least one owner takes the value: the value is tried on a
// fresh context of that encoder or muxer, so a malformed value is refused
// now rather than when the output is opened.
bool PrivateValueAccepted(const TPrivateOwners &AOwners, const std::string &AName, const std::string &AValue)
{
  for (const std::string &name : AOwners.Encoders) {
    const AVCodec *codec = AVCodecLib.avcodec_find_encoder_by_name(name.c_str());
    if (!codec) continue;
    AVCodecContext *ctx = AVCodecLib.avcodec_alloc_context3(codec);
    if (!ctx) continue;
    const int ret = AVUtilLib.av_opt_set(ctx, AName.c_str(), AValue.c_str(), AV_OPT_SEARCH_CHILDREN);
    AVCodecLib.avcodec_free_context(&ctx);
    if (ret >= 0) return true;
  }
  for (const std::string &name : AOwners.Muxers) {
    const AVOutputFormat *fmt = AVFormatLib.av_guess_format(name.c_str(), nullptr, nullptr);
    if (!fmt) continue;
    AVFormatContext *ctx = nullptr;
    if (AVFormatLib.avformat_alloc_output_context2(&ctx, fmt, nullptr, nullptr) < 0 || !ctx) continue;
    const int ret = AVUtilLib.av_opt_set(ctx, AName.c_str(), AValue.c_str(), AV_OPT_SEARCH_CHILDREN);
    AVFormatLib.avformat_free_context(ctx);
    if (ret >= 0) return true;
  }
  return false;
}

// The "flags" value split into the MPEG-2 scan offset flag (retired from
// the generic flags in 5.1) and the rest. ASign: 0 absent, 1 set, -1 cleared.
std::string TakeScanOffsetFlag(const std::string &AValue, int &ASign)
{
  ASign = 0;
  std::string rest;
  size_t i = 0;
  while (i < AValue.size()) {
    size_t start = i;
    char sign = 0;
    if (AValue[i] == '+' || AValue[i] == '-') sign = AValue[i++];
    size_t end = AValue.find_first_of("+-", i);
    if (end == std::string::npos) end = AValue.size();
    std::string word = AValue.substr(i, end - i);
    std::string lower = word;
    for (char &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (Trim(lower) == "scan_offset")
      ASign = sign == '-' ? -1 : 1;
    else
      rest += AValue.substr(start, end - start);
    i = end;
  }
  return rest;
}

}  // namespace

// ---------------------------------------------------------------------------
// Dispatch

bool TCustomFFmpeg::OptionTakesNoValue(const std::string &AName)
{
  const auto &table = OptionTable();
  auto it = table.find(AName);
  if (it == table.end()) return false;
  return it->second.Kind == okNoOp || it->second.Kind == okFlag || it->second.Kind == okAction;
}

void TCustomFFmpeg::SetOption(const std::string &AName, const std::string &AValue)
{
  const auto &table = OptionTable();
  auto it = table.find(AName);
  if (it == table.end()) {
    SetGenericOption(AName, AValue);  // an option no library knows is dropped
    return;
  }
  const std::string &v = AValue;
  switch (it->second.Id) {
    case oiNoOp: Log(1, "Do nothing: option - " + AName); break;
    case oiUnsupported: Fail("TODO: option - " + AName);
    case oiFormat: SetFormat(v); break;
    case oiMap: SetStreamMap(v); break;
    case oiMapMetaData: SetMetaDataMap(v); break;
    case oiRecordingTime: SetRecordingTime(v); break;
    case oiLimitFileSize: LimitFileSize = StrToInt64(v); break;
    case oiStartTime: SetStartTimeText(v); break;
    case oiInputTsOffset: SetInputTsOffsetText(v); break;
    case oiInputTsScale: SetInputTsScale(v); break;
    case oiRecTimestamp: SetRecTimestampText(v); break;
    case oiTitle: SetTitle(v); break;
    case oiAuthor: SetAuthor(v); break;
    case oiCopyright: SetCopyright(v); break;
    case oiComment: SetComment(v); break;
    case oiGenre: SetGenre(v); break;
    case oiAlbum: SetAlbum(v); break;
    case oiDataFrames: MaxFrames[AVMEDIA_TYPE_DATA] = StrToInt(v); break;
    case oiVideoFrames: MaxFrames[AVMEDIA_TYPE_VIDEO] = StrToInt(v); break;
    case oiAudioFrames: MaxFrames[AVMEDIA_TYPE_AUDIO] = StrToInt(v); break;
    case oiDump: DoPktDump = 1; break;
    case oiHex: DoHexDump = 1; break;
    case oiRateEmu: RateEmu = 1; break;
    case oiLoopInput: LoopInput = 1; break;
    case oiLoopOutput: LoopOutput = StrToInt(v); break;
    case oiVerbose: SetVerbose(StrToInt(v)); break;
    case oiTarget: SetTarget(v); break;
    case oiVideoSync: VideoSyncMethod = StrToInt(v); break;
    case oiAudioSync: AudioSyncMethod = StrToInt(v); break;
    case oiAudioDrift: AudioDriftThreshold = StrToFloat32(v); break;
    case oiVideoGlobalHeader: VideoGlobalHeader = StrToInt(v); break;
    case oiCopyTs: CopyTs = 1; break;
    case oiShortest: Shortest = 1; break;
    case oiDtsDelta: DtsDeltaThreshold = StrToFloat32(v); break;
    case oiProgramId: ProgramId = StrToInt(v); break;
    case oiBitRate: SetBitRate(AName, v); break;
    case oiFrameRate: SetFrameRate(v); break;
    case oiFrameSize: SetFrameSize(v); break;
    case oiAspect: SetFrameAspectRatio(v); break;
    case oiPixFmt: SetFramePixFmt(v); break;
    case oiCropTop: SetFrameCropTop(StrToInt(v)); break;
    case oiCropBottom: SetFrameCropBottom(StrToInt(v)); break;
    case oiCropLeft: SetFrameCropLeft(StrToInt(v)); break;
    case oiCropRight: SetFrameCropRight(StrToInt(v)); break;
    case oiPadTop: SetFramePadTop(StrToInt(v)); break;
    case oiPadBottom: SetFramePadBottom(StrToInt(v)); break;
    case oiPadLeft: SetFramePadLeft(StrToInt(v)); break;
    case oiPadRight: SetFramePadRight(StrToInt(v)); break;
    case oiPadColor: SetPadColor(StrToInt(v)); break;
    case oiIntra: IntraOnly = 1; break;
    case oiVideoDisable: VideoDisable = 1; break;
    case oiVideoDiscard: VideoDiscard = StrToInt(v); break;
    case oiQScale: SetQScale(static_cast<float>(StrToFloat(v))); break;
    case oiRcOverride: VideoRcOverride = v; break;
    case oiVideoCodec: SetVideoCodec(v); break;
    case oiAudioCodec: SetAudioCodec(v); break;
    case oiSubtitleCodec: SetSubtitleCodec(v); break;
    case oiMeThreshold:
      MeThreshold = StrToInt(v);
      if (MeThreshold != 0)
        ReportOnce("me_threshold",
                   "Option me_threshold has no counterpart in this release; only the input's picture types are kept");
      break;
    case oiSameQ: SameQuality = 1; break;
    case oiPass: SetPass(StrToInt(v)); break;
    case oiPassLogFile: PassLogFileName = v; break;
    case oiDeinterlace: DoDeinterlace = 1; break;
    case oiPsnr: DoPsnr = 1; break;
    case oiVstats: SetVstats(); break;
    case oiVstatsFile: SetVstatsFile(v); break;
    case oiVhook: AddFrameHook(v); break;
    case oiIntraMatrix: SetMatrix(v, true); break;
    case oiInterMatrix: SetMatrix(v, false); break;
    case oiTop: TopFieldFirst = StrToInt(v); break;
    case oiDc: IntraDcPrecision = StrToInt(v); break;
    case oiVideoTag: SetVideoTag(v); break;
    case oiAudioTag: SetAudioTag(v); break;
    case oiNewVideo:
    case oiNewAudio:
    case oiNewSubtitle:
      // A stream is added to the last output file; without one there is
      // nothing to extend.
      if (OutputFileCount <= 0) Fail("At least one output file must be specified");
      if (it->second.Id == oiNewVideo)
        NewVideoStream(OutputFileCount - 1);
      else if (it->second.Id == oiNewAudio)
        NewAudioStream(OutputFileCount - 1);
      else
        NewSubtitleStream(OutputFileCount - 1);
      break;
    case oiQpHist: QpHist = 1; break;
    case oiAudioQScale: AudioQScale = StrToFloat32(v); break;
    case oiAudioRate: SetAudioSampleRate(StrToInt(v)); break;
    case oiAudioChannels: SetAudioChannels(StrToInt(v)); break;
    case oiAudioDisable: AudioDisable = 1; break;
    case oiVolume: AudioVolume = StrToInt(v); break;
    case oiAudioLanguage: AudioLanguage = v; break;
    case oiSubtitleDisable: SubtitleDisable = 1; break;
    case oiSubtitleLanguage: SubtitleLanguage = v; break;
    case oiVideoChannel: VideoChannel = StrToInt(v); break;
    case oiVideoStandard: VideoStandard = v; break;
    case oiInputSync: InputSync = 1; break;
    case oiMuxDelay: MuxMaxDelay = StrToFloat32(v); break;
    case oiMuxPreload: MuxPreload = StrToFloat32(v); break;
  }
}

// ---------------------------------------------------------------------------
// Generic options: the libraries' own option system.

void TCustomFFmpeg::ReportOnce(const std::string &AKey, const std::string &AMsg)
{
  for (const std::string &done : FallbacksReported)
    if (done == AKey) return;
  FallbacksReported.push_back(AKey);
  Log(1, AMsg);
}

bool TCustomFFmpeg::SetGenericOption(const std::string &AName, int32_t AValue)
{
  return SetGenericOption(AName, Format("%d", {AValue}));
}

bool TCustomFFmpeg::SetGenericOption(const std::string &AName, const std::string &AValue)
{
  if (IsBlankText(AName) || IsBlankText(AValue)) return false;
  if (!CodecOpts[AVMEDIA_TYPE_VIDEO] || !FormatOpts || !SwsOpts) return false;  // not prepared

  std::string name = AName;
  // Retired in 5.1: the GOP length is "g" now.
  if (name == "gop") {
    ReportOnce("gop", "Option gop is now named g; using g");
    name = "g";
  }

  // Retired in 5.1: the scan offset is a private option of the MPEG-2 encoder.
  if (name == "flags") {
    int sign;
    const std::string rest = TakeScanOffsetFlag(AValue, sign);
    if (sign != 0) {
      const bool taken = SetGenericOption("scan_offset", sign > 0 ? "1" : "0");
      if (taken)
        ReportOnce("+SCAN_OFFSET",
                       "Flag SCAN_OFFSET is now the option scan_offset of the MPEG-2 encoder; using scan_offset");
      const bool restTaken = !rest.empty() && SetGenericOption(name, rest);
      return taken || restTaken;
    }
  }

  const char *n = name.c_str();
  const char *v = AValue.c_str();
  const AVOption *o = nullptr;
  static const int kindMask[5] = {AV_OPT_FLAG_VIDEO_PARAM, AV_OPT_FLAG_AUDIO_PARAM, 0, AV_OPT_FLAG_SUBTITLE_PARAM, 0};
  for (int k = 0; k < 5; ++k) {
    // 5.1 marks "b" as an audio option too; it is the video bit rate here,
    // as "ab" is the audio one, so an audio encoder never gets a video rate.
    if (k == AVMEDIA_TYPE_AUDIO && name == "b") continue;
    if (AVUtilLib.av_opt_find(CodecOpts[AVMEDIA_TYPE_VIDEO], n, nullptr, kindMask[k], 0)) {
      o = AVUtilLib.av_opt_set(CodecOpts[k], n, v, 0) >= 0 ? AVUtilLib.av_opt_find(CodecOpts[k], n, nullptr, 0, 0)
                                                           : nullptr;
    }
  }
  if (!o && AVUtilLib.av_opt_set(FormatOpts, n, v, 0) >= 0) o = AVUtilLib.av_opt_find(FormatOpts, n, nullptr, 0, 0);
  if (!o && AVUtilLib.av_opt_set(SwsOpts, n, v, 0) >= 0) o = AVUtilLib.av_opt_find(SwsOpts, n, nullptr, 0, 0);
  if (!o && (name[0] == 'a' || name[0] == 'v' || name[0] == 's') && name.size() > 1) {
    AVCodecContext *ctx = CodecOpts[name[0] == 'a' ? AVMEDIA_TYPE_AUDIO
                                    : name[0] == 'v' ? AVMEDIA_TYPE_VIDEO
                                                     : AVMEDIA_TYPE_SUBTITLE];
    if (AVUtilLib.av_opt_set(ctx, n + 1, v, 0) >= 0) o = AVUtilLib.av_opt_find(ctx, n + 1, nullptr, 0, 0);
  }

  if (!o) {
    // Only a name that no generic context knows at all goes to the private
    // option sets; a known name with a bad value is simply refused.
    const bool known = AVUtilLib.av_opt_find(CodecOpts[AVMEDIA_TYPE_VIDEO], n, nullptr, 0, 0) ||
                       AVUtilLib.av_opt_find(FormatOpts, n, nullptr, 0, 0) ||
                       AVUtilLib.av_opt_find(SwsOpts, n, nullptr, 0, 0) ||
                       ((name[0] == 'a' || name[0] == 'v' || name[0] == 's') && name.size() > 1 &&
                        AVUtilLib.av_opt_find(CodecOpts[AVMEDIA_TYPE_VIDEO], n + 1, nullptr, 0, 0));
    if (known) return false;
    const TPrivateOwners owners = FindPrivateOwners(name);
    if (owners.Encoders.empty() && owners.Muxers.empty()) return false;
    if (!PrivateValueAccepted(owners, name, AValue)) return false;
    bool replaced = false;
    for (auto &entry : PrivateOpts)
      if (entry.first == name) {
        entry.second = AValue;
        replaced = true;
      }
    if (!replaced) PrivateOpts.emplace_back(name, AValue);
    if (name != "scan_offset")
      ReportOnce(name, Format("Option %s is private to the %s %s; it is applied where it is known",
                                  {name, owners.Encoders.empty() ? owners.Muxers.front() : owners.Encoders.front(),
                                   owners.Encoders.empty() ? "muxer" : "encoder"}));
    return true;
  }

  bool listed = false;
  for (const std::string &known : OptNames)
    if (known == o->name) listed = true;
  if (!listed) OptNames.emplace_back(o->name);

  if (CodecOpts[AVMEDIA_TYPE_VIDEO]->debug != 0 || FormatOpts->debug != 0) SetVerbose(2);
  return true;
}

// ---------------------------------------------------------------------------
// Formats

std::string TCustomFFmpeg::FormatName(const std::string &AName)
{
  if (AName != "pgmyuv") return AName;
  PgmyuvHack = 1;
  Log(1, "pgmyuv format is deprecated, use image2");
  return "image2";
}

void TCustomFFmpeg::SetInputFormat(const std::string &AName)
{
  if (AName.empty()) return;
  const std::string name = FormatName(AName);
  InputFormat = AVFormatLib.av_find_input_format(name.c_str());
  if (!InputFormat) Fail(Format("Unknown input format: %s", {name}));
}

void TCustomFFmpeg::SetOutputFormat(const std::string &AName)
{
  if (AName.empty()) return;
  const std::string name = FormatName(AName);
  OutputFormat = AVFormatLib.av_guess_format(name.c_str(), nullptr, nullptr);
  if (!OutputFormat) Fail(Format("Unknown output format: %s", {name}));
}

void TCustomFFmpeg::SetFormat(const std::string &AName)
{
  if (AName.empty()) return;
  const std::string name = FormatName(AName);
  InputFormat = AVFormatLib.av_find_input_format(name.c_str());
  OutputFormat = AVFormatLib.av_guess_format(name.c_str(), nullptr, nullptr);
  if (!InputFormat && !OutputFormat) Fail(Format("Unknown input or output format: %s", {name}));
}

// ---------------------------------------------------------------------------
// Video geometry

void TCustomFFmpeg::SetFrameRate(const std::string &AValue)
{
  if (AValue.empty()) return;
  AVRational rate{0, 0};
  if (AVUtilLib.av_parse_video_rate(&rate, AValue.c_str()) < 0) Fail("Incorrect frame rate");
  FrameRate = rate;
}

void TCustomFFmpeg::SetFrameSize(const std::string &AValue)
{
  if (AValue.empty()) return;
  int w = 0, h = 0;
  if (AVUtilLib.av_parse_video_size(&w, &h, AValue.c_str()) < 0) Fail("Incorrect frame size");
  // Sizes whose picture buffers cannot be addressed are refused here rather
  // than overflowing the buffer arithmetic of the run.
  if ((static_cast<int64_t>(w) + 128) * (static_cast<int64_t>(h) + 128) >= INT32_MAX / 8) Fail("Incorrect frame size");
  FrameWidth = w;
  FrameHeight = h;
  if ((FrameWidth % 2) != 0 || (FrameHeight % 2) != 0) Fail("Frame size must be a multiple of 2");
}

void TCustomFFmpeg::SetFrameAspectRatio(const std::string &AValue)
{
  double ratio;
  const size_t colon = AValue.find(':');
  if (colon != std::string::npos) {
    const int32_t x = StrToIntDef(AValue.substr(0, colon), 0);
    const int32_t y = StrToIntDef(AValue.substr(colon + 1), 0);
    ratio = y > 0 ? static_cast<double>(x) / y : 0;
  } else {
    ratio = StrToFloatDef(AValue, 0);
  }
  // A negative or unbounded ratio is no more a display aspect than zero.
  if (!(ratio > 0) || ratio > std::numeric_limits<float>::max()) Fail("Incorrect aspect ratio specification.");
  FrameAspectRatio = static_cast<float>(ratio);
}

void TCustomFFmpeg::SetFramePixFmt(const std::string &AValue)
{
  if (AValue.empty()) return;
  if (AValue != "list") {
    FramePixFmt = AVUtilLib.av_get_pix_fmt(AValue.c_str());
    return;
  }
  if (!OnLog) return;
  char buf[128];
  for (int fmt = -1;; ++fmt) {
    if (fmt >= 0 && !AVUtilLib.av_pix_fmt_desc_get(static_cast<AVPixelFormat>(fmt))) break;
    buf[0] = '\0';
    AVUtilLib.av_get_pix_fmt_string(buf, sizeof buf, static_cast<AVPixelFormat>(fmt));
    Log(1, Trim(buf));
  }
}

static const char *const kVerticalCrop =
    "Vertical crop dimensions are outside the range of the original image.\n"
    "Remember to crop first and scale second.";
static const char *const kHorizontalCrop =
    "Horizontal crop dimensions are outside the range of the original image.\n"
    "Remember to crop first and scale second.";

namespace {

// A crop band refers to the frame size current now (normally the input's)
// and is taken off it at once; negative values are ignored.
void ApplyCrop(int32_t AValue, const char *AOddMsg, const char *ARangeMsg, int32_t &ABand, int32_t &ASize)
{
  if (AValue < 0) return;
  if (AValue % 2 != 0) throw FFMpegException(AOddMsg);
  if (AValue >= ASize) throw FFMpegException(ARangeMsg);
  ABand = AValue;
  ASize -= AValue;
}

}  // namespace

void TCustomFFmpeg::SetFrameCropTop(int32_t AValue)
{
  ApplyCrop(AValue, "Top crop size must be a multiple of 2", kVerticalCrop, FrameTopBand, FrameHeight);
}

void TCustomFFmpeg::SetFrameCropBottom(int32_t AValue)
{
  ApplyCrop(AValue, "Bottom crop size must be a multiple of 2", kVerticalCrop, FrameBottomBand, FrameHeight);
}

void TCustomFFmpeg::SetFrameCropLeft(int32_t AValue)
{
  ApplyCrop(AValue, "Left crop size must be a multiple of 2", kHorizontalCrop, FrameLeftBand, FrameWidth);
}

void TCustomFFmpeg::SetFrameCropRight(int32_t AValue)
{
  ApplyCrop(AValue, "Right crop size must be a multiple of 2", kHorizontalCrop, FrameRightBand, FrameWidth);
}

namespace {

void ApplyPad(int32_t AValue, const char *AOddMsg, int32_t &APad)
{
  if (AValue < 0) return;
  if (AValue % 2 != 0) throw FFMpegException(AOddMsg);
  APad = AValue;
}

}  // namespace

void TCustomFFmpeg::SetFramePadTop(int32_t AValue)
{
  ApplyPad(AValue, "Top pad size must be a multiple of 2", FramePadTop);
}

void TCustomFFmpeg::SetFramePadBottom(int32_t AValue)
{
  ApplyPad(AValue, "Bottom pad size must be a multiple of 2", FramePadBottom);
}

void TCustomFFmpeg::SetFramePadLeft(int32_t AValue)
{
  ApplyPad(AValue, "Left pad size must be a multiple of 2", FramePadLeft);
}

void TCustomFFmpeg::SetFramePadRight(int32_t AValue)
{
  ApplyPad(AValue, "Right pad size must be a multiple of 2", FramePadRight);
}

void TCustomFFmpeg::SetPadColor(int32_t AValue)
{
  // 0x00BBGGRR to full-range BT.601 YUV, factors scaled by 1024; ">>" on a
  // negative int floors, which the chroma terms rely on.
  const int r = AValue & 0xFF;
  const int g = (AValue >> 8) & 0xFF;
  const int b = (AValue >> 16) & 0xFF;
  PadColor[0] = (307 * r + 602 * g + 117 * b + 512) >> 10;
  PadColor[1] = ((-173 * r - 340 * g + 512 * b + 511) >> 10) + 128;
  PadColor[2] = ((512 * r - 429 * g - 84 * b + 511) >> 10) + 128;
}

// ---------------------------------------------------------------------------
// Quality, bit rate, codecs, tags

void TCustomFFmpeg::SetQScale(float AValue)
{
  if (!(AValue > 0.0f) || AValue > 255) Fail("qscale must be > 0.0 and <= 255");
  VideoQScale = AValue;
}

void TCustomFFmpeg::SetBitRate(const std::string &AName, const std::string &AValue)
{
  if (!SetGenericOption(AName, AValue) || !OnLog) return;
  AVCodecContext *ctx = CodecOpts[!AName.empty() && AName[0] == 'a' ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO];
  int64_t rate = 0;
  if (ctx && AVUtilLib.av_opt_get_int(ctx, "b", 0, &rate) >= 0 && rate < 1000)
    Log(1, "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s");
}

namespace {

void SetCodecName(std::string &AName, int32_t &ACopy, const std::string &AValue)
{
  if (AValue.empty()) return;
  AName.clear();
  if (AValue == "copy")
    ACopy = 1;
  else
    AName = AValue;
}

int32_t TagFromText(const std::string &AValue)
{
  const auto *p = reinterpret_cast<const unsigned char *>(AValue.data());
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                              static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
}

[[noreturn]] void AssertionFailed(const char *AMsg, int ALine)
{
  throw EAssertionFailed(Format("%s (FFmpeg, line %d)", {AMsg, ALine}));
}

}  // namespace

void TCustomFFmpeg::SetVideoCodec(const std::string &AValue) { SetCodecName(VideoCodecName, VideoStreamCopy, AValue); }

void TCustomFFmpeg::SetAudioCodec(const std::string &AValue) { SetCodecName(AudioCodecName, AudioStreamCopy, AValue); }

void TCustomFFmpeg::SetSubtitleCodec(const std::string &AValue)
{
  SetCodecName(SubtitleCodecName, SubtitleStreamCopy, AValue);
}

void TCustomFFmpeg::SetVideoTag(const std::string &AValue)
{
  if (AValue.size() != 4) AssertionFailed("video tag parameter must be 4 chars", __LINE__);
  VideoCodecTag = TagFromText(AValue);
}

void TCustomFFmpeg::SetAudioTag(const std::string &AValue)
{
  if (AValue.size() != 4) AssertionFailed("audio tag parameter must be 4 chars", __LINE__);
  AudioCodecTag = TagFromText(AValue);
}

// ---------------------------------------------------------------------------
// Time limits

namespace {

int64_t ParseTimeOption(const std::string &AName, const std::string &AValue, bool ADuration)
{
  int64_t us = 0;
  if (AVUtilLib.av_parse_time(&us, AValue.c_str(), ADuration ? 1 : 0) < 0)
    throw FFMpegException(
        Format("Invalid %s specification for %s: %s", {ADuration ? "duration" : "date", AName, AValue}));
  return us;
}

}  // namespace

void TCustomFFmpeg::SetRecordingTime(const std::string &AValue)
{
  if (AValue.empty()) return;
  SetRecordingTimeMs(ParseTimeOption("t", AValue, true) / 1000);
}

void TCustomFFmpeg::SetRecordingTimeMs(int64_t AMilliseconds)
{
  if (AMilliseconds <= 0) return;
  RecordingTime = AMilliseconds > INT64_MAX / 1000 ? INT64_MAX : AMilliseconds * 1000;
  // The progress report's total is 32-bit milliseconds (about 24 days); a
  // longer limit is reported as that maximum rather than wrapping negative.
  TotalDuration = AMilliseconds > INT32_MAX ? INT32_MAX : static_cast<int32_t>(AMilliseconds);
}

void TCustomFFmpeg::SetStartTimeText(const std::string &AValue)
{
  if (AValue.empty()) return;
  StartTime = ParseTimeOption("ss", AValue, true);
}

void TCustomFFmpeg::SetInputTsOffsetText(const std::string &AValue)
{
  if (AValue.empty()) return;
  InputTsOffset = ParseTimeOption("itsoffset", AValue, true);
}

void TCustomFFmpeg::SetRecTimestampText(const std::string &AValue)
{
  if (AValue.empty()) return;
  const int64_t us = ParseTimeOption("timestamp", AValue, false);
  RecTimestamp = static_cast<int64_t>(std::nearbyint(static_cast<double>(us) / 1000000.0));
}

// ---------------------------------------------------------------------------
// Maps and time-stamp scales

namespace {

// Reads one int32 with strtol rules at AP. Text that remains but holds no
// number, or a number beyond 32 bits, is refused (false); at the end of the
// text the value is 0.
bool ReadIndex(const char *&AP, int32_t &AValue)
{
  char *end = nullptr;
  errno = 0;
  const long v = MyUtilLib.my_strtol(AP, &end, 0);
  if (end == AP) {
    AValue = 0;
    return *AP == '\0';
  }
  if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return false;
  AValue = static_cast<int32_t>(v);
  AP = end;
  return true;
}

}  // namespace

void TCustomFFmpeg::SetStreamMap(const std::string &AValue)
{
  if (AValue.empty()) return;
  if (StreamMapCount >= MaxStreamMaps) Fail(Format("Too many stream maps (at most %d)", {MaxStreamMaps}));
  TStreamMap m;
  const char *p = AValue.c_str();
  bool ok = ReadIndex(p, m.FileIndex);
  if (ok && *p) ++p;
  ok = ok && ReadIndex(p, m.StreamIndex);
  if (ok && *p) {
    ++p;
    ok = ReadIndex(p, m.SyncFileIndex);
    if (ok && *p) ++p;
    ok = ok && ReadIndex(p, m.SyncStreamIndex);
  } else {
    m.SyncFileIndex = m.FileIndex;
    m.SyncStreamIndex = m.StreamIndex;
  }
  if (!ok) Fail(Format("Invalid stream map: %s", {AValue}));
  StreamMaps[StreamMapCount++] = m;
}

void TCustomFFmpeg::SetMetaDataMap(const std::string &AValue)
{
  if (AValue.empty()) return;
  if (MetaDataMapCount >= MaxMetaDataMaps) Fail(Format("Too many meta data maps (at most %d)", {MaxMetaDataMaps}));
  TMetaDataMap m;
  const char *p = AValue.c_str();
  bool ok = ReadIndex(p, m.OutFile);
  if (ok && *p) ++p;
  ok = ok && ReadIndex(p, m.InFile);
  if (!ok) Fail(Format("Invalid meta data map: %s", {AValue}));
  MetaDataMaps[MetaDataMapCount++] = m;
}

void TCustomFFmpeg::SetInputTsScale(const std::string &AValue)
{
  if (AValue.empty()) return;
  const char *p = AValue.c_str();
  char *end = nullptr;
  const long index = MyUtilLib.my_strtol(p, &end, 0);
  p = end;
  if (*p) ++p;
  const double scale = MyUtilLib.my_strtod(p, &end);
  if (static_cast<unsigned long>(index) >= static_cast<unsigned long>(MaxStreams))
    Fail(Format("stream index over MAX_STREAMS(%d)", {MaxStreams}));
  // The scale is stored for the input opened next, which must still fit the file table.
  if (InputFileCount >= MaxFiles) Fail(Format("Too many input files (at most %d)", {MaxFiles}));
  // Timestamps are multiplied by the scale; a negative or unbounded factor
  // would turn them into garbage.
  if (!std::isfinite(scale) || scale < 0) Fail(Format("Invalid time stamp scale: %s", {AValue}));
  InputTsScales[InputFileCount][index] = scale;
}

// ---------------------------------------------------------------------------
// Diagnostics, two-pass, matrices, statistics file

void TCustomFFmpeg::SetVerbose(int32_t AValue)
{
  Verbose = AValue;
  SetLibraryLogLevel(AValue);  // also the process-wide verbosity the log callback reads
}

void TCustomFFmpeg::SetPass(int32_t AValue)
{
  if (AValue != 1 && AValue != 2) Fail("pass number can be only 1 or 2");
  DoPass = AValue;
}

void TCustomFFmpeg::SetMatrix(const std::string &AValue, bool AIntra)
{
  if (AValue.empty()) return;
  // Parsed completely before anything is stored: a partly filled matrix
  // would hold zero coefficients, which the encoders divide by.
  uint16_t coeffs[64] = {};
  const char *p = AValue.c_str();
  for (int i = 0;; ++i) {
    char *end = nullptr;
    const long c = MyUtilLib.my_strtol(p, &end, 10);
    if (end == p || c < 1 || c > 255)
      Fail(Format("Invalid coefficient in matrix \"%s\" at coeff %d", {AValue, i}));
    coeffs[i] = static_cast<uint16_t>(c);
    if (i == 63) break;
    p = std::strchr(p, ',');
    if (!p) Fail(Format("Syntax error in matrix \"%s\" at coeff %d", {AValue, i}));
    ++p;
  }
  auto *m = static_cast<uint16_t *>(AVUtilLib.av_mallocz(sizeof coeffs));
  if (!m) Fail("Could not allocate matrix");
  std::memcpy(m, coeffs, sizeof coeffs);
  uint16_t *&target = AIntra ? IntraMatrix : InterMatrix;
  AVUtilLib.av_freep(&target);
  target = m;
}

void TCustomFFmpeg::SetVstats()
{
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  const std::string stamp = Format("%.2d%.2d%.2d", {tm.tm_hour, tm.tm_min, tm.tm_sec});
  VstatsFileName = Format("%svstats_%s.log", {ExecutableDir(), stamp});
}

void TCustomFFmpeg::SetVstatsFile(const std::string &AValue)
{
  if (AValue.empty()) return;
  VstatsFileName = AValue;
}

// ---------------------------------------------------------------------------
// Metadata texts: an empty value keeps what was set.

void TCustomFFmpeg::SetTitle(const std::string &AValue) { if (!AValue.empty()) Title = AValue; }
void TCustomFFmpeg::SetAuthor(const std::string &AValue) { if (!AValue.empty()) Author = AValue; }
void TCustomFFmpeg::SetCopyright(const std::string &AValue) { if (!AValue.empty()) Copyright = AValue; }
void TCustomFFmpeg::SetComment(const std::string &AValue) { if (!AValue.empty()) Comment = AValue; }
void TCustomFFmpeg::SetGenre(const std::string &AValue) { if (!AValue.empty()) Genre = AValue; }
void TCustomFFmpeg::SetAlbum(const std::string &AValue) { if (!AValue.empty()) Album = AValue; }

// ---------------------------------------------------------------------------
// Plain setters used by the component

void TCustomFFmpeg::SetAudioVolume(int32_t AValue) { if (AValue >= 0) AudioVolume = AValue; }
void TCustomFFmpeg::SetAudioSyncMethod(int32_t AValue) { AudioSyncMethod = AValue; }
void TCustomFFmpeg::SetVideoSyncMethod(int32_t AValue) { VideoSyncMethod = AValue; }
void TCustomFFmpeg::SetMuxMaxDelay(float AValue) { if (AValue > 0.0f) MuxMaxDelay = AValue; }
void TCustomFFmpeg::SetMuxPreload(float AValue) { if (AValue > 0.0f) MuxPreload = AValue; }
void TCustomFFmpeg::SetTrack(int32_t AValue) { if (AValue > 0) Track = AValue; }
void TCustomFFmpeg::SetYear(int32_t AValue) { if (AValue > 0) Year = AValue; }
void TCustomFFmpeg::SetStartTime(int64_t AMicroseconds) { if (AMicroseconds > 0) StartTime = AMicroseconds; }
void TCustomFFmpeg::SetProgramId(int32_t AValue) { if (AValue >= 0) ProgramId = AValue; }
void TCustomFFmpeg::SetAudioSampleRate(int32_t AValue) { if (AValue > 0) AudioSampleRate = AValue; }
void TCustomFFmpeg::SetAudioChannels(int32_t AValue) { if (AValue > 0) AudioChannels = AValue; }
