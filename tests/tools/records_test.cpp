// Conversion records from presets old and new, the rewrap rule and its
// records, what is read of an input before converting it, and the expected
// output size.
#include <gtest/gtest.h>

#include <clocale>
#include <map>

#include "AVProbe.h"
#include "ConvertRecord.h"
#include "Findings.h"
#include "SizeEstimate.h"
#include "SourceInfo.h"
#include "TestEnv.h"
#include "TestMedia.h"

using qvtest::TScratchDir;

namespace {

// Every field of an output record, as text, so two records compare whole.
std::map<std::string, std::string> Fields(const TOutputOptions &R)
{
  auto s = [](auto AValue) {
    if constexpr (std::is_same_v<decltype(AValue), std::string>)
      return "'" + AValue + "'";
    else
      return std::to_string(AValue);
  };
  return {{"FileName", s(R.FileName)},
          {"FileFormat", s(R.FileFormat)},
          {"PacketSize", s(R.PacketSize)},
          {"MuxRate", s(R.MuxRate)},
          {"MuxMaxDelay", s(R.MuxMaxDelay)},
          {"MuxPreload", s(R.MuxPreload)},
          {"AudioCodecName", s(R.AudioCodecName)},
          {"AudioDisable", s(R.AudioDisable)},
          {"AudioVolume", s(R.AudioVolume)},
          {"AudioChannels", s(R.AudioChannels)},
          {"AudioSampleRate", s(R.AudioSampleRate)},
          {"AudioBitrate", s(R.AudioBitrate)},
          {"AudioBitrateTolerance", s(R.AudioBitrateTolerance)},
          {"AudioLanguage", s(R.AudioLanguage)},
          {"AudioSyncMethod", s(R.AudioSyncMethod)},
          {"AudioCodecTag", s(R.AudioCodecTag)},
          {"VideoCodecName", s(R.VideoCodecName)},
          {"VideoDisable", s(R.VideoDisable)},
          {"FrameRate", s(R.FrameRate)},
          {"FrameSize", s(R.FrameSize)},
          {"FrameAspectRatio", s(R.FrameAspectRatio)},
          {"Crop", s(R.CropTop) + s(R.CropBottom) + s(R.CropLeft) + s(R.CropRight)},
          {"Pad", s(R.PadTop) + s(R.PadBottom) + s(R.PadLeft) + s(R.PadRight)},
          {"PadColor", s(R.PadColor)},
          {"GopSize", s(R.GopSize)},
          {"VideoBitrate", s(R.VideoBitrate)},
          {"VideoMaxRate", s(R.VideoMaxRate)},
          {"VideoMinRate", s(R.VideoMinRate)},
          {"VideoBitrateTolerance", s(R.VideoBitrateTolerance)},
          {"VideoBufferSize", s(R.VideoBufferSize)},
          {"VideoSyncMethod", s(R.VideoSyncMethod)},
          {"VideoCodecTag", s(R.VideoCodecTag)},
          {"SubtitleDisable", s(R.SubtitleDisable)},
          {"SubtitleLanguage", s(R.SubtitleLanguage)},
          {"CopyTs", s(R.CopyTs)},
          {"RecordingDuration", s(R.RecordingDuration)},
          {"Timestamp", s(R.Timestamp)},
          {"Year", s(R.Year)},
          {"Track", s(R.Track)},
          {"Tags", s(R.Title) + s(R.Author) + s(R.Copyright) + s(R.Comment) + s(R.Album) + s(R.Genre)},
          {"Target", s(R.Target) + s(R.TargetNorm) + s(R.TargetFallbackNorm)},
          {"Hooks", s(R.CustomHook) + s(R.BeforeHook) + s(R.HookRanges)},
          {"ExtraOptions", s(R.ExtraOptions)}};
}

// The preset file as it shipped before presets could name their encoders.
const char *const ClassicFile =
    "[ipod_320x240_low]\nname=iPod 320x240, video 300 kbit/s, audio 64 kbit/s\nframe_width=320\n"
    "frame_height=240\nframe_rate=15\nvideo_bitrate=300000\naudio_bitrate=64000\naudio_channels=2\n"
    "audio_frequency=44100\n"
    "[ipod_320x240_high]\nname=iPod 320x240, video 600 kbit/s, audio 128 kbit/s\nframe_width=320\n"
    "frame_height=240\nframe_rate=15\nvideo_bitrate=600000\naudio_bitrate=128000\naudio_channels=2\n"
    "audio_frequency=44100\n"
    "[ipod_640x480_medium]\nname=iPod 640x480, video 1000 kbit/s, audio 128 kbit/s\nframe_width=640\n"
    "frame_height=480\nframe_rate=15\nvideo_bitrate=1000000\naudio_bitrate=128000\naudio_channels=2\n"
    "audio_frequency=44100\n"
    "[ipod_640x480_high]\nname=iPod 640x480, video 1500 kbit/s, audio 160 kbit/s\nframe_width=640\n"
    "frame_height=480\nframe_rate=15\nvideo_bitrate=1500000\naudio_bitrate=160000\naudio_channels=2\n"
    "audio_frequency=48000\n"
    "[phone_176x144]\nname=Phone 176x144, video 128 kbit/s, audio 32 kbit/s mono\nframe_width=176\n"
    "frame_height=144\nframe_rate=15\nvideo_bitrate=128000\naudio_bitrate=32000\naudio_channels=1\n"
    "audio_frequency=22050\n";

TSourceInfo WideSource()
{
  TSourceInfo s;
  s.VideoCodec = "h264", s.AudioCodec = "aac";
  s.Width = 640, s.Height = 360, s.DisplayAspect = 16.0 / 9.0;
  s.FrameRateNum = 30000, s.FrameRateDen = 1001;
  s.AudioChannels = 2, s.AudioSampleRate = 48000;
  s.Duration = 60000000;
  return s;
}

class RecordsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite()
  {
    qvtest::LoadLibs();
    std::setlocale(LC_ALL, "C");
  }
  // The presets of AText, in file order.
  std::vector<TFormat> Load(const std::string &AText)
  {
    qvtest::WriteFile(Dir.File("formats.ini"), AText);
    LoadPresets(Dir.File("formats.ini"));
    return Presets;
  }
  TScratchDir Dir;
};

}  // namespace

// A preset file without the new keys gives exactly the records it gave
// before, whatever the source is like.
TEST_F(RecordsTest, ClassicPresetsGiveTheSameRecordsAsBefore)
{
  const auto presets = Load(ClassicFile);
  ASSERT_EQ(presets.size(), 5u);
  const TSourceInfo wide = WideSource();
  TSourceInfo odd = wide;
  odd.FrameRateNum = 0, odd.DisplayAspect = 0;
  for (const TFormat &p : presets) {
    SCOPED_TRACE(p.Name);
    EXPECT_TRUE(p.VideoCodec.empty() && p.AudioCodec.empty() && p.Crf.empty() && p.X264Preset.empty());
    EXPECT_EQ(p.KeepFrameRate + p.KeepAspectRatio, 0);
    TOutputOptions before;
    ResetOutputOptions(before);
    before.VideoCodecName = "mpeg4", before.AudioCodecName = "libfaac", before.FrameRate = "15";
    before.VideoBitrate = p.VideoBitrate, before.AudioBitrate = p.AudioBitrate;
    before.AudioChannels = p.AudioChannels, before.AudioSampleRate = p.AudioFrequency;
    before.FrameSize = std::to_string(p.FrameWidth) + "x" + std::to_string(p.FrameHeight);
    EXPECT_EQ(Fields(ConvertOutputRecord(&p)), Fields(before));
    EXPECT_EQ(Fields(ConvertOutputRecord(&p, &wide)), Fields(before));
    EXPECT_EQ(Fields(ConvertOutputRecord(&p, &odd)), Fields(before));
    EXPECT_EQ(MissingEncoder(p), "");
  }
}

// The shipped file keeps the classic presets first, as they were, and adds
// H.264 ones after them that keep the source's rate and shape.
TEST_F(RecordsTest, ShippedPresetsAreTheClassicOnesThenH264Ones)
{
  const auto classic = Load(ClassicFile);
  LoadPresets();
  const auto shipped = Presets;
  ASSERT_GT(shipped.size(), classic.size());
  const TSourceInfo src = WideSource();
  for (size_t i = 0; i < classic.size(); ++i) {
    EXPECT_EQ(shipped[i].Name, classic[i].Name);
    EXPECT_EQ(Fields(ConvertOutputRecord(&shipped[i], &src)), Fields(ConvertOutputRecord(&classic[i], &src))) << i;
  }
  for (size_t i = classic.size(); i < shipped.size(); ++i) {
    const TFormat &p = shipped[i];
    SCOPED_TRACE(p.Name);
    EXPECT_EQ(p.VideoCodec + " " + p.AudioCodec, "libx264 aac");
    EXPECT_TRUE(p.KeepFrameRate && p.KeepAspectRatio);
    EXPECT_EQ(MissingEncoder(p), "");
    // A 16:9 source converts at exactly the preset's size.
    EXPECT_EQ(ConvertOutputRecord(&p, &src).FrameSize, std::to_string(p.FrameWidth) + "x" + std::to_string(p.FrameHeight));
    EXPECT_GT(EstimateOutputSize(ConvertOutputRecord(&p, &src), src).Bytes, 0);
  }
}

TEST_F(RecordsTest, NewKeysNameEncodersKeepTheSourcesRateAndShapeAndAskForQuality)
{
  const auto presets = Load(
      "[hd]\nname=HD\nframe_width=1280\nframe_height=720\nvideo_bitrate=2500000\naudio_bitrate=128000\n"
      "audio_channels=2\naudio_frequency=44100\nvideo_codec=libx264\naudio_codec=aac\nkeep_frame_rate=1\n"
      "keep_aspect_ratio=1\nx264_preset=veryfast\n"
      "[q]\nname=Q\nframe_width=640\nframe_height=360\nvideo_bitrate=1000000\nvideo_codec=libx264\ncrf=23.5\n"
      "[bad]\ncrf=60\nvideo_codec=nosuchencoder\n[bad2]\ncrf=abc\naudio_codec=nosuchaudio\n[bad3]\ncrf=-1\n");
  ASSERT_EQ(presets.size(), 5u);
  const TFormat &hd = presets[0], &q = presets[1];
  EXPECT_EQ(hd.VideoCodec + " " + hd.AudioCodec + " " + hd.X264Preset, "libx264 aac veryfast");
  EXPECT_EQ(hd.KeepFrameRate + hd.KeepAspectRatio, 2);
  EXPECT_EQ(q.Crf, "23.5");
  for (size_t i = 2; i < 5; ++i) EXPECT_EQ(presets[i].Crf, "") << i;

  TSourceInfo src = WideSource();
  TOutputOptions r = ConvertOutputRecord(&hd, &src);
  EXPECT_EQ(r.VideoCodecName + " " + r.AudioCodecName + " " + r.FrameRate + " " + r.FrameSize,
            "libx264 aac 30000/1001 1280x720");
  EXPECT_EQ(r.VideoBitrate, 2500000);
  EXPECT_EQ(r.ExtraOptions, "preset=veryfast\n");
  // Other shapes fit the box, both sides even; a whole rate stays whole.
  const std::pair<double, const char *> shapes[] = {{4.0 / 3.0, "960x720"}, {2.35, "1280x544"}, {1.0, "720x720"}};
  src.FrameRateNum = 24, src.FrameRateDen = 1;
  for (const auto &[aspect, size] : shapes) {
    src.DisplayAspect = aspect;
    r = ConvertOutputRecord(&hd, &src);
    EXPECT_EQ(r.FrameSize, size) << aspect;
    EXPECT_EQ(r.FrameRate, "24");
  }
  // Nothing known of the source: the preset's own size, the engine's 25 fps.
  r = ConvertOutputRecord(&hd);
  EXPECT_EQ(r.FrameSize + " " + r.FrameRate, "1280x720 25");

  // A constant quality makes the bit rate a ceiling.
  r = ConvertOutputRecord(&q, &src);
  EXPECT_EQ(r.ExtraOptions, "crf=23.5\n");
  EXPECT_EQ(r.VideoBitrate, -1);
  EXPECT_EQ(r.VideoMaxRate, 1000000);
  EXPECT_EQ(r.VideoBufferSize, 2000000);
  EXPECT_EQ(r.FrameRate + " " + r.FrameSize, "15 640x360");  // the keys it lacks keep the classic rules

  EXPECT_EQ(MissingEncoder(hd), "");
  EXPECT_EQ(MissingEncoder(presets[2]), "nosuchencoder");
  EXPECT_EQ(MissingEncoder(presets[3]), "nosuchaudio");
}

TEST_F(RecordsTest, RewrapKindsFollowTheCodecsAndTheirRecordsCopyWhatMp4Carries)
{
  struct TCase {
    const char *Video, *Audio;
    int Rate;
    TRewrapKind Kind;
    bool AudioChanges = false;
  } const cases[] = {
      // the codecs of enhanced FLV; FLAC in MP4 is an experiment in FFmpeg 5.1
      {"hevc", "opus", 48000, rkCopyAll},         {"av1", "ac3", 48000, rkCopyAll},
      {"vp9", "eac3", 48000, rkCopyAll},          {"hevc", "flac", 48000, rkCopyVideo},
      {"vp8", "opus", 48000, rkNone},             {"h264", "aac", 44100, rkCopyVideo, true},
      {"h264", "aac", 44100, rkCopyAll},          {"h264", "mp3", 22050, rkCopyAll},
      {"h264", "", 0, rkCopyAll},                 {"h264", "mp3", 8000, rkCopyVideo},
      {"h264", "speex", 16000, rkCopyVideo},      {"h264", "nellymoser", 22050, rkCopyVideo},
      {"h264", "adpcm_swf", 22050, rkCopyVideo},  {"h264", "pcm_s16le", 44100, rkCopyVideo},
      {"h264", "pcm_alaw", 8000, rkCopyVideo},    {"h264", "vorbis", 44100, rkNone},
      {"flv1", "mp3", 44100, rkNone},             {"vp6f", "aac", 44100, rkNone},
      {"", "aac", 44100, rkNone},
  };
  for (const TCase &c : cases) {
    TSourceInfo s;
    s.VideoCodec = c.Video, s.AudioCodec = c.Audio, s.AudioSampleRate = c.Rate, s.AudioChanges = c.AudioChanges;
    EXPECT_EQ(RewrapKindOf(s), c.Kind) << c.Video << "/" << c.Audio << " " << c.Rate;
  }
  EXPECT_EQ(RewrapName(rkCopyAll), "Original quality, no re-encoding (fastest)");
  EXPECT_EQ(RewrapName(rkCopyVideo), "Original video quality (audio converted to AAC)");
  EXPECT_EQ(RewrapName(rkNone), "");

  TSourceInfo s = WideSource();
  TOutputOptions r = RewrapOutputRecord(rkCopyAll, s);
  EXPECT_EQ(r.VideoCodecName + " " + r.AudioCodecName + " [" + r.FrameRate + "] [" + r.FrameSize + "]",
            "copy copy [] []");
  EXPECT_EQ(r.AudioBitrate, -1);
  // The audio to AAC: 64 kbit/s a channel, at most two, at a rate AAC takes.
  const std::tuple<int, int, int, int, int> audio[] = {
      {1, 16000, 1, 16000, 64000}, {6, 48000, 2, 48000, 128000}, {1, 5512, 1, 7350, 64000}, {2, 0, 2, -1, 128000}};
  for (const auto &[channels, rate, wantChannels, wantRate, wantBitrate] : audio) {
    s.AudioChannels = channels, s.AudioSampleRate = rate;
    r = RewrapOutputRecord(rkCopyVideo, s);
    EXPECT_EQ(r.VideoCodecName + " " + r.AudioCodecName, "copy aac");
    EXPECT_EQ(std::vector<int>({r.AudioChannels, r.AudioSampleRate, r.AudioBitrate}),
              std::vector<int>({wantChannels, wantRate, wantBitrate}))
        << channels << " " << rate;
  }
}

// The description of real files agrees with what their streams hold; the
// scan counts what a copy carries (video from its first key frame).
TEST_F(RecordsTest, SourcesOfRealFilesAndTheirStreamSizes)
{
  struct TCase {
    const char *File, *Video, *Audio;
    int Width, Height, RateNum, RateDen;
    double Seconds;
  } const cases[] = {
      // Lengths are what the tags span, not onMetaData's (3.29 and 19.4 s).
      {"membrane_rtmp_plugin__testsrc.flv", "h264", "aac", 1920, 1080, 24, 1, 3.23},
      {"red5-server__flashContent1.flv", "h264", "speex", 320, 240, 15, 1, 19.45},
      // Its base rate is the demuxer's 1000 fps; the average is the real one.
      {"ruffle__netstream_play_flv-test_video.flv", "flv1", "mp3", 320, 233, 12, 1, 1.07},
      // Its back-pointers are all off by four; its tags hold both streams.
      {"red5-server__h264_aac.flv", "h264", "aac", 160, 120, 15, 1, 29.92},
  };
  for (const TCase &c : cases) {
    SCOPED_TRACE(c.File);
    const std::string path = qvtest::Sample(c.File);
    TAVProbe probe;
    ASSERT_TRUE(probe.LoadFile(path)) << probe.LastError;
    TSourceInfo s = DescribeSource(probe.Context());
    EXPECT_EQ(s.VideoCodec + "/" + s.AudioCodec, std::string(c.Video) + "/" + c.Audio);
    EXPECT_EQ(std::vector<int>({s.Width, s.Height, s.FrameRateNum, s.FrameRateDen}),
              std::vector<int>({c.Width, c.Height, c.RateNum, c.RateDen}));
    EXPECT_NEAR(s.Duration / 1e6, c.Seconds, 0.05);
    if (c.Width > 0) {
      EXPECT_NEAR(s.DisplayAspect, static_cast<double>(c.Width) / c.Height, 1e-6);
    }
    EXPECT_EQ(s.VideoBytes, -1);

    ASSERT_TRUE(ScanStreamSizes(path, s));
    if (c.Seconds > 29) continue;  // h264_aac.flv: FFmpeg, the reference here, reads none of its packets
    for (int type : {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO}) {
      const auto packets = qvtest::ReadPackets(path, type);
      int64_t bytes = 0, count = 0;
      bool started = false;
      for (const auto &p : packets) {
        started = started || p.Key;
        if (started) {
          bytes += static_cast<int64_t>(p.Data.size());
          ++count;
        }
      }
      const bool video = type == AVMEDIA_TYPE_VIDEO;
      EXPECT_EQ(video ? s.VideoBytes : s.AudioBytes, bytes) << type;
      EXPECT_EQ(video ? s.VideoPackets : s.AudioPackets, count) << type;
    }
  }
  // Past its budget the scan projects the rest from the time it covered.
  TSourceInfo whole, part;
  const std::string speex = qvtest::Sample("red5-server__flashContent1.flv");
  TAVProbe probe;
  ASSERT_TRUE(probe.LoadFile(speex));
  whole = part = DescribeSource(probe.Context());
  ASSERT_TRUE(ScanStreamSizes(speex, whole));
  ASSERT_TRUE(ScanStreamSizes(speex, part, 100000));
  EXPECT_NEAR(static_cast<double>(part.VideoBytes), static_cast<double>(whole.VideoBytes), whole.VideoBytes * 0.25);
  EXPECT_NEAR(static_cast<double>(part.VideoPackets), static_cast<double>(whole.VideoPackets), whole.VideoPackets * 0.25);
  EXPECT_FALSE(ScanStreamSizes(Dir.File("missing.flv"), part));
}

TEST_F(RecordsTest, ExpectedSizeFromBitRatesOrCopiedBytes)
{
  const TSourceInfo src = WideSource();  // 60 s, 29.97 fps, 48 kHz
  TFormat p;
  p.FrameWidth = 320, p.FrameHeight = 240, p.VideoBitrate = 300000, p.AudioBitrate = 64000;
  p.AudioChannels = 2, p.AudioFrequency = 44100;
  // 364 kbit/s for 60 s, and 16 bytes of index a packet: 900 pictures at
  // 15 fps, 2584 AAC frames at 44.1 kHz; 4 KiB of header.
  TSizeEstimate e = EstimateOutputSize(ConvertOutputRecord(&p, &src), src);
  EXPECT_EQ(e.Bytes, 364000 * 60 / 8 + std::llround((900 + 60 * 44100 / 1024.0) * 16) + 4096);
  EXPECT_FALSE(e.AtMost);
  EXPECT_EQ(ExpectedSizeText(e), "Expected size: ~ 2.66 Mbytes");

  // No audio in the source: no audio in the output either.
  TSourceInfo silent = src;
  silent.AudioCodec.clear();
  EXPECT_EQ(EstimateOutputSize(ConvertOutputRecord(&p, &silent), silent).Bytes,
            300000 * 60 / 8 + 900 * 16 + 4096);
  // A constant quality below a ceiling gives a ceiling; without one, nothing.
  p.VideoCodec = "libx264", p.Crf = "23";
  e = EstimateOutputSize(ConvertOutputRecord(&p, &src), src);
  EXPECT_TRUE(e.AtMost);
  EXPECT_TRUE(ExpectedSizeText(e).rfind("Expected size: up to ~ ", 0) == 0) << ExpectedSizeText(e);
  p.VideoBitrate = 0;
  EXPECT_EQ(EstimateOutputSize(ConvertOutputRecord(&p, &src), src).Bytes, -1);
  // No duration, no estimate of a re-encoding.
  TSourceInfo endless = src;
  endless.Duration = -1;
  p.VideoBitrate = 300000;
  EXPECT_EQ(EstimateOutputSize(ConvertOutputRecord(&p, &endless), endless).Bytes, -1);

  // A rewrap needs the scanned sizes; the AAC of a video-only rewrap its bit rate.
  TSourceInfo copied = src;
  EXPECT_EQ(EstimateOutputSize(RewrapOutputRecord(rkCopyAll, copied), copied).Bytes, -1);
  copied.VideoBytes = 5000000, copied.VideoPackets = 1800, copied.AudioBytes = 700000, copied.AudioPackets = 2812;
  EXPECT_EQ(EstimateOutputSize(RewrapOutputRecord(rkCopyAll, copied), copied).Bytes,
            5700000 + (1800 + 2812) * 16 + 4096);
  copied.AudioCodec = "speex", copied.AudioChannels = 1, copied.AudioSampleRate = 16000;
  EXPECT_EQ(EstimateOutputSize(RewrapOutputRecord(rkCopyVideo, copied), copied).Bytes,
            5000000 + 64000 * 60 / 8 + std::llround((1800 + 60 * 16000 / 1024.0) * 16) + 4096);

  // The window's units.
  const std::pair<int64_t, const char *> texts[] = {{1024, "Expected size: ~ 1024 bytes"},
                                                    {1025, "Expected size: ~ 1.00 Kbytes"},
                                                    {1048577, "Expected size: ~ 1.00 Mbytes"},
                                                    {12939428, "Expected size: ~ 12.34 Mbytes"}};
  for (const auto &[bytes, text] : texts) EXPECT_EQ(ExpectedSizeText({bytes, false}), text);
  EXPECT_EQ(ExpectedSizeText({}), "");
}

