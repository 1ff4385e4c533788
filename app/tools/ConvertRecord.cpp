// Conversion records from a preset (see ConvertRecord.h).
#include "ConvertRecord.h"

#include <algorithm>
#include <cmath>

#include "AVCodecHlpr.h"
#include "CodecAliases.h"

namespace {

// The frame size within the preset's box that keeps the source's shape,
// both sides even (the encoders take no odd sizes).
void FitFrame(int32_t ABoxWidth, int32_t ABoxHeight, double AAspect, int32_t &AWidth, int32_t &AHeight)
{
  AWidth = ABoxWidth;
  AHeight = ABoxHeight;
  if (!(AAspect > 0) || ABoxWidth <= 0 || ABoxHeight <= 0) return;
  auto even = [](double AValue) { return std::max<int32_t>(2, static_cast<int32_t>(std::lround(AValue / 2.0)) * 2); };
  if (AAspect > static_cast<double>(ABoxWidth) / ABoxHeight)
    AHeight = std::min(ABoxHeight, even(ABoxWidth / AAspect));
  else
    AWidth = std::min(ABoxWidth, even(ABoxHeight * AAspect));
}

std::string RateText(int32_t ANum, int32_t ADen)
{
  return ADen == 1 ? std::to_string(ANum) : std::to_string(ANum) + "/" + std::to_string(ADen);
}

// The sample rates the AAC encoder takes, highest first.
constexpr int32_t AacRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};

}  // namespace

TInputOptions ConvertInputRecord(const std::string &AFileName) {
  TInputOptions rec;
  ResetInputOptions(rec);
  rec.FileName = AFileName;
  return rec;
}

TOutputOptions ConvertOutputRecord(const TFormat *APreset, const TSourceInfo *ASource) {
  TOutputOptions rec;
  ResetOutputOptions(rec);
  rec.VideoCodecName = "mpeg4";
  rec.AudioCodecName = "libfaac";
  rec.FrameRate = "15";  // classic presets convert at 15 fps; their frame_rate is not used
  if (!APreset) return rec;
  const TFormat &p = *APreset;
  rec.VideoBitrate = p.VideoBitrate;
  rec.AudioSampleRate = p.AudioFrequency;
  rec.AudioChannels = p.AudioChannels;
  rec.AudioBitrate = p.AudioBitrate;
  int32_t width = p.FrameWidth, height = p.FrameHeight;
  if (p.KeepAspectRatio && ASource) FitFrame(p.FrameWidth, p.FrameHeight, ASource->DisplayAspect, width, height);
  rec.FrameSize = std::to_string(width) + "x" + std::to_string(height);

  if (!p.VideoCodec.empty()) rec.VideoCodecName = p.VideoCodec;
  if (!p.AudioCodec.empty()) rec.AudioCodecName = p.AudioCodec;
  if (p.KeepFrameRate) {
    // A source that does not tell its rate gets the engine's usual 25.
    rec.FrameRate = ASource && ASource->FrameRateNum > 0 ? RateText(ASource->FrameRateNum, ASource->FrameRateDen) : "25";
  }
  // x264's own options reach its encoder through the engine's private
  // options; the other encoders of the job do not know them.
  if (!p.Crf.empty()) {
    rec.ExtraOptions += "crf=" + p.Crf + "\n";
    // With a constant quality the bit rate is the ceiling, not the aim.
    rec.VideoBitrate = -1;
    if (p.VideoBitrate > 0) {
      rec.VideoMaxRate = p.VideoBitrate;
      rec.VideoBufferSize = p.VideoBitrate > INT32_MAX / 2 ? INT32_MAX : p.VideoBitrate * 2;
    }
  }
  if (!p.X264Preset.empty()) rec.ExtraOptions += "preset=" + p.X264Preset + "\n";
  return rec;
}

TOutputOptions RewrapOutputRecord(TRewrapKind AKind, const TSourceInfo &ASource) {
  TOutputOptions rec;
  ResetOutputOptions(rec);
  if (AKind == rkNone) return rec;
  rec.VideoCodecName = "copy";
  if (AKind == rkCopyAll) {
    rec.AudioCodecName = "copy";
    return rec;
  }
  rec.AudioCodecName = "aac";
  const int32_t channels = std::clamp(ASource.AudioChannels, 1, 2);
  rec.AudioChannels = channels;
  rec.AudioBitrate = 64000 * channels;
  // The source's rate when AAC takes it, else the next higher one.
  int32_t rate = AacRates[0];
  for (int32_t r : AacRates)
    if (r >= ASource.AudioSampleRate) rate = r;
  if (ASource.AudioSampleRate > 0) rec.AudioSampleRate = rate;
  return rec;
}

std::string MissingEncoder(const TFormat &APreset) {
  if (!AVCodecLoaded()) return {};
  for (const std::string &name : {APreset.VideoCodec.empty() ? std::string("mpeg4") : APreset.VideoCodec,
                                  APreset.AudioCodec.empty() ? std::string("libfaac") : APreset.AudioCodec}) {
    std::string used;
    if (!engine::FindCodecByName(name, true, used)) return name;
  }
  return {};
}
