// Options the table does not know go to the libraries' own option system:
// the generic codec, format and scaler contexts first, then the private
// option sets of encoders and muxers. Names retired in 5.1 are translated
// and reported once.
#include <map>
#include <mutex>

#include "AVCodecHlpr.h"
#include "AVFormatHlpr.h"
#include "AVUtilHlpr.h"
#include "FFmpeg.h"
#include "OptionText.h"
#include "SysFormat.h"

using avbind::Format;
using engine::IsBlankText;
using engine::Trim;

namespace {

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
  if (!FJob.CodecOpts[AVMEDIA_TYPE_VIDEO] || !FJob.FormatOpts || !FJob.SwsOpts) return false;  // not prepared

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
    if (AVUtilLib.av_opt_find(FJob.CodecOpts[AVMEDIA_TYPE_VIDEO], n, nullptr, kindMask[k], 0)) {
      o = AVUtilLib.av_opt_set(FJob.CodecOpts[k], n, v, 0) >= 0 ? AVUtilLib.av_opt_find(FJob.CodecOpts[k], n, nullptr, 0, 0)
                                                           : nullptr;
    }
  }
  if (!o && AVUtilLib.av_opt_set(FJob.FormatOpts, n, v, 0) >= 0) o = AVUtilLib.av_opt_find(FJob.FormatOpts, n, nullptr, 0, 0);
  if (!o && AVUtilLib.av_opt_set(FJob.SwsOpts, n, v, 0) >= 0) o = AVUtilLib.av_opt_find(FJob.SwsOpts, n, nullptr, 0, 0);
  if (!o && (name[0] == 'a' || name[0] == 'v' || name[0] == 's') && name.size() > 1) {
    AVCodecContext *ctx = FJob.CodecOpts[name[0] == 'a' ? AVMEDIA_TYPE_AUDIO
                                    : name[0] == 'v' ? AVMEDIA_TYPE_VIDEO
                                                     : AVMEDIA_TYPE_SUBTITLE];
    if (AVUtilLib.av_opt_set(ctx, n + 1, v, 0) >= 0) o = AVUtilLib.av_opt_find(ctx, n + 1, nullptr, 0, 0);
  }

  if (!o) {
    // Only a name that no generic context knows at all goes to the private
    // option sets; a known name with a bad value is simply refused.
    const bool known = AVUtilLib.av_opt_find(FJob.CodecOpts[AVMEDIA_TYPE_VIDEO], n, nullptr, 0, 0) ||
                       AVUtilLib.av_opt_find(FJob.FormatOpts, n, nullptr, 0, 0) ||
                       AVUtilLib.av_opt_find(FJob.SwsOpts, n, nullptr, 0, 0) ||
                       ((name[0] == 'a' || name[0] == 'v' || name[0] == 's') && name.size() > 1 &&
                        AVUtilLib.av_opt_find(FJob.CodecOpts[AVMEDIA_TYPE_VIDEO], n + 1, nullptr, 0, 0));
    if (known) return false;
    const TPrivateOwners owners = FindPrivateOwners(name);
    if (owners.Encoders.empty() && owners.Muxers.empty()) return false;
    if (!PrivateValueAccepted(owners, name, AValue)) return false;
    bool replaced = false;
    for (auto &entry : FJob.PrivateOpts)
      if (entry.first == name) {
        entry.second = AValue;
        replaced = true;
      }
    if (!replaced) FJob.PrivateOpts.emplace_back(name, AValue);
    if (name != "scan_offset")
      ReportOnce(name, Format("Option %s is private to the %s %s; it is applied where it is known",
                                  {name, owners.Encoders.empty() ? owners.Muxers.front() : owners.Encoders.front(),
                                   owners.Encoders.empty() ? "muxer" : "encoder"}));
    return true;
  }

  bool listed = false;
  for (const std::string &known : FJob.OptNames)
    if (known == o->name) listed = true;
  if (!listed) FJob.OptNames.emplace_back(o->name);

  if (FJob.CodecOpts[AVMEDIA_TYPE_VIDEO]->debug != 0 || FJob.FormatOpts->debug != 0) SetVerbose(2);
  return true;
}
