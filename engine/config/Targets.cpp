// Disc and tape target presets: one call fills in what a VCD, SVCD, DVD or
// DV output needs, through the ordinary option handlers, with the television
// norm given or detected from the frame rate and the input streams.
#include "FFmpeg.h"

#include <cmath>

#include "AVFormatHlpr.h"
#include "OptionText.h"
#include "SysFormat.h"

namespace {

enum TNorm { nmPal = 0, nmNtsc = 1, nmFilm = 2, nmUndecided = -1 };

// Frame rate in thousandths, rounded to nearest with halves to even; 0 for
// an unusable rate.
int64_t MilliRate(int64_t ANum, int64_t ADen)
{
  if (ADen == 0) return 0;
  return static_cast<int64_t>(std::nearbyint(static_cast<double>(ANum) * 1000.0 / static_cast<double>(ADen)));
}

TNorm NormOfRate(int64_t AMilliRate)
{
  if (AMilliRate == 25000) return nmPal;
  if (AMilliRate == 29970 || AMilliRate == 23976) return nmNtsc;
  return nmUndecided;
}

}  // namespace

void TCustomFFmpeg::SetTarget(const std::string &AText)
{
  const std::string text = engine::Trim(AText);
  std::string norm = "auto";
  std::string type = text;
  for (const char *prefix : {"pal-", "ntsc-", "film-"}) {
    const std::string p = prefix;
    if (text.compare(0, p.size(), p) == 0) {
      norm = p.substr(0, p.size() - 1);
      type = text.substr(p.size());
      break;
    }
  }
  ApplyTarget(type, norm, "ntsc");
}

void TCustomFFmpeg::ApplyTarget(const std::string &ATargetType, const std::string &ANorm,
                                const std::string &ADefaultNorm)
{
  TNorm norm = nmUndecided;
  if (ANorm == "pal")
    norm = nmPal;
  else if (ANorm == "ntsc")
    norm = nmNtsc;
  else if (ANorm == "film")
    norm = nmFilm;
  else {
    if (FrameRate.den == 0) Fail("frame_rate is invalid.");
    norm = NormOfRate(MilliRate(FrameRate.num, FrameRate.den));
    // The streams' nominal frame rate stands in for the codec time base of
    // old: the average rate where the demuxer knows it, else the real base rate.
    for (int i = 0; norm == nmUndecided && i < InputFileCount; ++i) {
      const AVFormatContext *ic = InputFiles[i];
      if (!ic) continue;
      for (unsigned j = 0; norm == nmUndecided && j < ic->nb_streams; ++j) {
        const AVStream *st = ic->streams[j];
        if (!st->codecpar || st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
        AVRational rate = st->avg_frame_rate;
        if (rate.num <= 0 || rate.den <= 0) rate = st->r_frame_rate;
        if (rate.num <= 0 || rate.den <= 0) continue;
        norm = NormOfRate(MilliRate(rate.num, rate.den));
      }
    }
    if (norm == nmUndecided) norm = ADefaultNorm == "film" ? nmFilm : ADefaultNorm == "ntsc" ? nmNtsc : nmPal;
    if (Verbose > 0) Log(1, avbind::Format("Assuming %s for target.", {norm != nmPal ? "NTSC" : "PAL"}));
  }

  static const char *const kFrameRates[] = {"25", "30000/1001", "24000/1001"};
  const bool pal = norm == nmPal;
  // A value the libraries refuse is told, not fatal: the preset goes on, so
  // it is never left half applied.
  auto need = [this](const char *AName, const char *AValue) {
    if (!SetGenericOption(AName, AValue))
      Log(0, avbind::Format("The target option %s could not be set to %s", {AName, AValue}));
  };

  if (ATargetType == "vcd") {
    SetVideoCodec("mpeg1video");
    SetAudioCodec("mp2");
    SetOutputFormat("vcd");
    SetFrameSize(pal ? "352x288" : "352x240");
    SetFrameRate(kFrameRates[norm]);
    need("gop", pal ? "15" : "18");
    need("b", "1150000");
    need("maxrate", "1150000");
    need("minrate", "1150000");
    need("bufsize", "327680");
    need("ab", "224000");
    AudioSampleRate = 44100;
    AudioChannels = 2;
    need("packetsize", "2324");
    need("muxrate", "1411200");
    // The VCD player's buffer allows 0.44 s of initial demux delay.
    MuxPreload = 0.44f;
    if (FrameAspectRatio == 0) SetFrameAspectRatio("4:3");
  } else if (ATargetType == "svcd") {
    SetVideoCodec("mpeg2video");
    SetAudioCodec("mp2");
    SetOutputFormat("svcd");
    SetFrameSize(pal ? "480x576" : "480x480");
    SetFrameRate(kFrameRates[norm]);
    need("gop", pal ? "15" : "18");
    need("b", "2040000");
    need("maxrate", "2516000");
    need("minrate", "0");
    need("bufsize", "1835008");
    need("flags", "+SCAN_OFFSET");
    need("ab", "224000");
    AudioSampleRate = 44100;
    if (AudioChannels == 1) AudioChannels = 2;
    need("packetsize", "2324");
    if (FrameAspectRatio == 0) SetFrameAspectRatio("4:3");
  } else if (ATargetType == "dvd") {
    SetVideoCodec("mpeg2video");
    SetAudioCodec("ac3");
    SetOutputFormat("dvd");
    SetFrameSize(pal ? "720x576" : "720x480");
    SetFrameRate(kFrameRates[norm]);
    need("gop", pal ? "15" : "18");
    need("b", "6000000");
    need("maxrate", "9000000");
    need("minrate", "0");
    need("bufsize", "1835008");
    need("ab", "448000");
    AudioSampleRate = 48000;
    if (AudioChannels == 1) AudioChannels = 2;
    need("packetsize", "2048");
    need("muxrate", "10080000");
    if (FrameAspectRatio == 0) SetFrameAspectRatio("16:9");
  } else if (ATargetType == "dv" || ATargetType == "dv50") {
    SetOutputFormat("dv");
    SetFrameSize(pal ? "720x576" : "720x480");
    // DV25 samples chroma 4:1:1 in 525-line systems and 4:2:0 in 625-line
    // ones; DV50 is 4:2:2 in both.
    SetFramePixFmt(ATargetType == "dv50" ? "yuv422p" : pal ? "yuv420p" : "yuv411p");
    SetFrameRate(kFrameRates[norm]);
    AudioSampleRate = 48000;
    AudioChannels = 2;
  } else {
    Fail("Unknown target type");
  }
}
