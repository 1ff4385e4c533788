// End-to-end re-encoding through the audio and video output paths: the
// window's FLV -> MP4 conversion on every real sample, odd sizes, audio- and
// video-only inputs, crop/pad/rescale, video sync counters, progress.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>

#include "FFmpeg.h"
#include "TestEnv.h"
#include "TestMedia.h"

namespace {

using qvtest::TMediaInfo;
using qvtest::TStreamInfo;

using TOptions = std::vector<std::pair<std::string, std::string>>;

// The window's conversion settings.
TOptions WindowOptions(const std::string &ASize = "320x240")
{
  return {{"vcodec", "mpeg4"}, {"acodec", "libfaac"}, {"s", ASize}, {"r", "15"},
          {"b", "360000"},     {"ab", "96000"},       {"ar", "44100"}, {"ac", "2"}};
}

struct TProgressCall {
  int Frame, Fps, Duration;
  float Quality, BitRate;
  int64_t Size;
  int Total;
};

class MediaConvertTest : public ::testing::Test {
 protected:
  void SetUp() override { qvtest::LoadLibs(); }

  // Opens AIn, sets AOptions, opens AOut and runs the job on this thread.
  void Convert(TCustomFFmpeg &AEngine, const std::string &AIn, const std::string &AOut, const TOptions &AOptions,
               const std::function<void(TCustomFFmpeg &)> &ABeforeStart = {})
  {
    AEngine.Prepare();
    AEngine.OnLog = [this](TCustomFFmpeg *, int level, const std::string &msg) {
      if (level <= 0) Errors += msg + "\n";
      Lines.push_back(msg);
    };
    ASSERT_TRUE(AEngine.OpenInputFile(AIn)) << AEngine.LastOptionError;
    for (const auto &[name, value] : AOptions) AEngine.SetOption(name, value);
    ASSERT_TRUE(AEngine.OpenOutputFile(AOut)) << AEngine.LastOptionError;
    if (ABeforeStart) ABeforeStart(AEngine);
    AEngine.Start(false);
    ASSERT_FALSE(AEngine.ExceptionRaised) << AEngine.LastErrorMessage;
    ASSERT_TRUE(AEngine.Finished);
  }

  TMediaInfo Probe(const std::string &APath)
  {
    TMediaInfo info;
    std::string error;
    EXPECT_TRUE(qvtest::ProbeMedia(APath, info, &error)) << error;
    return info;
  }

  std::string Errors;
  std::vector<std::string> Lines;
  qvtest::TScratchDir Dir;
};

// Checks one output of the window's conversion against its input.
void ExpectWindowOutput(const TMediaInfo &AIn, const TMediaInfo &AOut, const std::string &AName)
{
  SCOPED_TRACE(AName);
  const TStreamInfo *inV = AIn.Find(AVMEDIA_TYPE_VIDEO);
  const TStreamInfo *inA = AIn.Find(AVMEDIA_TYPE_AUDIO);
  const TStreamInfo *v = AOut.Find(AVMEDIA_TYPE_VIDEO);
  const TStreamInfo *a = AOut.Find(AVMEDIA_TYPE_AUDIO);
  ASSERT_EQ(v != nullptr, inV != nullptr);
  ASSERT_EQ(a != nullptr, inA != nullptr);
  if (v) {
    EXPECT_EQ(v->Codec, "mpeg4");
    EXPECT_EQ(v->Width, 320);
    EXPECT_EQ(v->Height, 240);
    EXPECT_GT(v->Packets, 0);
    EXPECT_EQ(v->PacketsBeforeFirstKey, 0);
    if (v->Packets > 1) {
      EXPECT_NEAR(av_q2d(v->FrameRate), 15.0, 0.5);
    }
  }
  if (a) {
    EXPECT_EQ(a->Codec, "aac");
    EXPECT_EQ(a->SampleRate, 44100);
    EXPECT_EQ(a->Channels, 2);
    // Every input sample is encoded: the last partial frame too.
    EXPECT_NEAR(a->Duration, inA->Duration, 0.05) << "audio duration";
  }
}

TEST_F(MediaConvertTest, WindowConversionOfEveryRealSampleWithAudioOrVideo)
{
  int converted = 0;
  for (const std::string &in : qvtest::AllSamples()) {
    if (in.find("h264_aac.flv") != std::string::npos) continue;  // holds no readable packet
    SCOPED_TRACE(in);
    TCustomFFmpeg engine;
    const std::string out = Dir.File("out" + std::to_string(converted) + ".mp4");
    Errors.clear();
    Convert(engine, in, out, WindowOptions());
    if (HasFatalFailure()) return;
    const TMediaInfo inInfo = Probe(in);
    const TMediaInfo outInfo = Probe(out);
    ExpectWindowOutput(inInfo, outInfo, in);
    EXPECT_GT(engine.VideoSize + engine.AudioSize, 0);
    ++converted;
  }
  EXPECT_EQ(converted, 8);
}

TEST_F(MediaConvertTest, AudioAndVideoStayInStepOnGeneratedMedia)
{
  const std::string in = Dir.File("in.flv");
  qvtest::TGenOptions gen;
  gen.Seconds = 4.0;
  gen.FrameRate = {30, 1};
  qvtest::MakeMedia(in, gen);
  TCustomFFmpeg engine;
  const std::string out = Dir.File("out.mp4");
  Convert(engine, in, out, WindowOptions());
  const TMediaInfo info = Probe(out);
  const TStreamInfo *v = info.Find(AVMEDIA_TYPE_VIDEO);
  const TStreamInfo *a = info.Find(AVMEDIA_TYPE_AUDIO);
  ASSERT_TRUE(v && a);
  const TMediaInfo inInfo = Probe(in);
  const TStreamInfo *inV = inInfo.Find(AVMEDIA_TYPE_VIDEO);
  const TStreamInfo *inA = inInfo.Find(AVMEDIA_TYPE_AUDIO);
  ASSERT_TRUE(inV && inA);
  EXPECT_NEAR(v->Duration, inV->Duration, 1.0 / 15 + 0.01);
  EXPECT_NEAR(a->Duration, inA->Duration, 0.03);  // the encoder's priming frame at most
  EXPECT_NEAR(v->Duration, a->Duration, 0.1);
  // 30 fps in, 15 out: about every other picture is dropped, none duplicated.
  EXPECT_NEAR(engine.FramesDrop, 60, 3);
  EXPECT_EQ(engine.FramesDup, 0);
  EXPECT_NEAR(static_cast<double>(v->Packets), 60, 2);
}


TEST_F(MediaConvertTest, CropPadAndRescaleGiveTheEncoderItsSizeAndThePadColour)
{
  const std::string in = Dir.File("in.flv");
  qvtest::TGenOptions gen;
  gen.AudioCodec = "";
  gen.Seconds = 1.0;
  qvtest::MakeMedia(in, gen);

  struct TCase {
    const char *Name;
    TOptions Extra;
    int Width, Height, PadTop, PadBottom;
  };
  const TCase cases[] = {
      // pad only: 320x240 -> 240 + 2 x 32 rows, no rescale
      {"pad", {{"padtop", "32"}, {"padbottom", "32"}}, 320, 304, 32, 32},
      // crop and pad back to the input size, no rescale
      {"crop+pad", {{"croptop", "32"}, {"cropbottom", "32"}, {"padtop", "32"}, {"padbottom", "32"}}, 320, 240, 32, 32},
      // crop, rescale and pad
      {"crop+rescale+pad", {{"cropleft", "16"}, {"cropright", "16"}, {"padtop", "16"}, {"padbottom", "48"}},
       176, 208, 16, 48},
  };
  for (const TCase &c : cases) {
    SCOPED_TRACE(c.Name);
    TCustomFFmpeg engine;
    TOptions opts = {{"vcodec", "mpeg4"}, {"r", "15"}, {"b", "2000000"}};
    opts.insert(opts.end(), c.Extra.begin(), c.Extra.end());
    // The frame size names the picture; the pads come on top of it.
    opts.push_back({"s", std::to_string(c.Width) + "x" + std::to_string(c.Height - c.PadTop - c.PadBottom)});
    const std::string out = Dir.File(std::string("pad") + std::to_string(&c - cases) + ".mp4");
    Convert(engine, in, out, opts, [](TCustomFFmpeg &e) {
      e.PadColor[0] = 180;  // Y, U, V
      e.PadColor[1] = 60;
      e.PadColor[2] = 200;
    });
    if (HasFatalFailure()) return;
    EXPECT_EQ(Errors, "");
    int pictures = 0;
    qvtest::DecodeVideo(out, [&](const AVFrame &f) {
      ++pictures;
      ASSERT_EQ(f.width, c.Width);
      ASSERT_EQ(f.height, c.Height);
      // Rows well inside the bands hold the pad colour; the picture lies between them.
      const int ys[] = {c.PadTop / 2, c.Height - c.PadBottom / 2 - 1};
      for (int y : ys) {
        EXPECT_NEAR(f.data[0][y * f.linesize[0] + c.Width / 2], 180, 6) << "row " << y;
        EXPECT_NEAR(f.data[1][(y / 2) * f.linesize[1] + c.Width / 4], 60, 6) << "row " << y;
        EXPECT_NEAR(f.data[2][(y / 2) * f.linesize[2] + c.Width / 4], 200, 6) << "row " << y;
      }
    });
    EXPECT_NEAR(pictures, 15, 1);
  }
}

TEST_F(MediaConvertTest, ProgressRisesToTheTotalAndTheTextLineHasItsFormat)
{
  const std::string in = Dir.File("in.flv");
  qvtest::TGenOptions gen;
  gen.Seconds = 2.0;
  qvtest::MakeMedia(in, gen);

  {
    TCustomFFmpeg engine;
    std::vector<TProgressCall> calls;
    engine.ProgressInterval = 0;  // a report after every packet
    engine.OnProgress = [&](TCustomFFmpeg *, int frame, int fps, int duration, float q, float rate, int64_t size,
                            int total) { calls.push_back({frame, fps, duration, q, rate, size, total}); };
    Convert(engine, in, Dir.File("p.mp4"), WindowOptions());
    ASSERT_GE(calls.size(), 10u);
    // The duration is the earliest stream end, so it may step back once a
    // later stream writes its first packet; it ends at its largest value.
    int longest = 0;
    for (std::size_t i = 1; i < calls.size(); ++i) {
      EXPECT_GE(calls[i].Frame, calls[i - 1].Frame);
      EXPECT_GE(calls[i].Size, calls[i - 1].Size);
      longest = std::max(longest, calls[i].Duration);
    }
    const TProgressCall &last = calls.back();
    EXPECT_EQ(last.Duration, longest);
    EXPECT_NEAR(last.Frame, 30, 1);  // the sync may lag by up to 1.1 frames
    EXPECT_EQ(last.Fps, 0);  // the run takes less than a second
    EXPECT_NEAR(last.Duration, 2000, 70);
    EXPECT_EQ(last.Size, qvtest::FileSize(Dir.File("p.mp4")));
    EXPECT_GT(last.Quality, 1.0f);
    EXPECT_NEAR(last.BitRate, last.Size * 8.0 / (last.Duration / 1000.0) / 1000.0, 1.0);
    EXPECT_EQ(last.Total, engine.TotalDuration);
    // With OnProgress set no progress text is logged, only the summary.
    for (const std::string &l : Lines) EXPECT_EQ(l.find("frame="), std::string::npos) << l;
    ASSERT_FALSE(Lines.empty());
    EXPECT_EQ(Lines.back().rfind("video:", 0), 0u) << Lines.back();
  }
  {
    Lines.clear();
    TCustomFFmpeg engine;
    Convert(engine, in, Dir.File("t.mp4"), WindowOptions());
    std::vector<std::string> reports;
    for (const std::string &l : Lines)
      if (l.rfind("frame=", 0) == 0) reports.push_back(l);
    ASSERT_FALSE(reports.empty());
    int frame = 0, fps = 0;
    float q = 0, kb = 0, t = 0, rate = 0;
    char last = 0;
    ASSERT_EQ(std::sscanf(reports.back().c_str(), "frame=%5d fps=%3d q=%f %c size=%fkB time=%f bitrate=%fkbits/s",
                          &frame, &fps, &q, &last, &kb, &t, &rate),
              7)
        << reports.back();
    EXPECT_NEAR(frame, 30, 1);
    EXPECT_EQ(last, 'L');
    EXPECT_NEAR(t, 2.0, 0.07);
    EXPECT_NEAR(kb, qvtest::FileSize(Dir.File("t.mp4")) / 1024.0, 1.0);
    const std::string &summary = Lines.back();
    EXPECT_EQ(summary.rfind("video:", 0), 0u);
    EXPECT_NE(summary.find("kB audio:"), std::string::npos);
    EXPECT_NE(summary.find("muxing overhead "), std::string::npos);
    EXPECT_EQ(summary.substr(summary.size() - 3), "%\r\n");
  }
}

TEST_F(MediaConvertTest, AudioOnlyOutputReportsNoFrameAndVstatsListsEveryVideoFrame)
{
  const std::string in = Dir.File("in.flv");
  qvtest::TGenOptions gen;
  gen.Seconds = 1.0;
  qvtest::MakeMedia(in, gen);
  {
    TCustomFFmpeg engine;
    std::vector<TProgressCall> calls;
    engine.OnProgress = [&](TCustomFFmpeg *, int frame, int fps, int duration, float q, float rate, int64_t size,
                            int total) { calls.push_back({frame, fps, duration, q, rate, size, total}); };
    TOptions opts = WindowOptions();
    opts.push_back({"vn", ""});
    Convert(engine, in, Dir.File("a.mp4"), opts);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().Frame, -1);
    EXPECT_EQ(calls.back().Fps, -1);
    EXPECT_EQ(calls.back().Quality, -1.0f);
    EXPECT_NEAR(calls.back().Duration, 1000, 60);
  }
  {
    TCustomFFmpeg engine;
    const std::string stats = Dir.File("vstats.log");
    engine.Prepare();
    TOptions opts = WindowOptions();
    opts.push_back({"vstats_file", stats});
    Convert(engine, in, Dir.File("v.mp4"), opts);
    const std::string text = qvtest::ReadFile(stats);
    int lines = 0;
    std::size_t pos = 0;
    while ((pos = text.find("frame= ", pos)) != std::string::npos) {
      ++lines;
      ++pos;
    }
    const TMediaInfo info = Probe(Dir.File("v.mp4"));
    const TStreamInfo *v = info.Find(AVMEDIA_TYPE_VIDEO);
    ASSERT_TRUE(v);
    EXPECT_EQ(lines, v->Packets);  // one line per encoded picture
    EXPECT_NE(text.find("type= I\n"), std::string::npos);
    EXPECT_NE(text.find("type= P\n"), std::string::npos);
    EXPECT_NE(text.find("avg_br="), std::string::npos);
  }
}

}  // namespace
