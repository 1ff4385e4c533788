// Codecs and what their encoders are given: codec names and tags,
// quality, bit rate, two-pass and quantiser matrices.
#include <cstring>

#include "AVUtilHlpr.h"
#include "FFmpeg.h"
#include "MyUtilHlpr.h"
#include "SysFormat.h"

using avbind::Format;

void TCustomFFmpeg::SetQScale(float AValue)
{
  if (!(AValue > 0.0f) || AValue > 255) Fail("qscale must be > 0.0 and <= 255");
  VideoQScale = AValue;
}

void TCustomFFmpeg::SetBitRate(const std::string &AName, const std::string &AValue)
{
  if (!SetGenericOption(AName, AValue) || !OnLog) return;
  AVCodecContext *ctx = FJob.CodecOpts[!AName.empty() && AName[0] == 'a' ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO];
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
