// The generated test media must hold what was asked for, or every test that
// relies on it checks the wrong thing.
#include <gtest/gtest.h>

#include "TestEnv.h"
#include "TestMedia.h"

namespace {

template <typename F>
qvtest::TGenOptions Gen(F AEdit)
{
  qvtest::TGenOptions o;
  AEdit(o);
  return o;
}

TEST(TestMedia, GeneratedFilesProbeBackAsRequested)
{
  qvtest::LoadLibs();
  qvtest::TScratchDir dir;
  struct {
    qvtest::TGenOptions Opt;
    const char *VCodec, *ACodec;
    int Packets;
  } cases[] = {
      {Gen([](auto &o) { o.Seconds = 2; }), "h264", "aac", 50},
      {Gen([](auto &o) {
         o.VideoCodec = "flv"; o.AudioCodec = "libmp3lame"; o.Width = 176; o.Height = 144; o.FrameRate = {15, 1};
         o.SampleRate = 22050; o.Channels = 1; o.Seconds = 2;
       }),
       "flv1", "mp3", 30},
      // x264 takes odd sizes in 4:2:0 only with rounded-up chroma.
      {Gen([](auto &o) { o.AudioCodec = ""; o.Width = 322; o.Height = 242; o.Seconds = 2; }), "h264", nullptr, 50}};
  for (const auto &c : cases) {
    const std::string f = dir.File(std::string(c.VCodec) + c.Opt.AudioCodec + ".flv");
    qvtest::MakeMedia(f, c.Opt);
    qvtest::TMediaInfo info;
    std::string err;
    ASSERT_TRUE(qvtest::ProbeMedia(f, info, &err)) << err;
    EXPECT_EQ(info.Format, "flv");
    ASSERT_EQ(info.Streams.size(), c.ACodec ? 2u : 1u) << f;
    const auto *v = info.Find(AVMEDIA_TYPE_VIDEO), *a = info.Find(AVMEDIA_TYPE_AUDIO);
    ASSERT_TRUE(v && (a || !c.ACodec)) << f;
    EXPECT_EQ(std::make_tuple(v->Codec, v->Width, v->Height, v->Packets, v->PacketsBeforeFirstKey),
              std::make_tuple(std::string(c.VCodec), c.Opt.Width, c.Opt.Height, int64_t{c.Packets}, int64_t{0}));
    EXPECT_NEAR(v->Duration, 2.0, 0.1);
    if (c.ACodec) {
      EXPECT_EQ(std::make_tuple(a->Codec, a->SampleRate, a->Channels),
                std::make_tuple(std::string(c.ACodec), c.Opt.SampleRate, c.Opt.Channels));
      EXPECT_NEAR(a->Duration, 2.0, 0.15);
    }
    EXPECT_EQ(qvtest::DecodeVideo(f, [&](const AVFrame &fr) { EXPECT_EQ(fr.width, c.Opt.Width); }), c.Packets);
  }

  const std::string f = dir.File("audio-only.mp4");
  qvtest::MakeMedia(f, Gen([](auto &o) { o.VideoCodec = ""; o.Container = "mp4"; }));
  qvtest::TMediaInfo info;
  ASSERT_TRUE(qvtest::ProbeMedia(f, info));
  EXPECT_EQ(info.Format, "mov,mp4,m4a,3gp,3g2,mj2");
  ASSERT_EQ(info.Streams.size(), 1u);
  EXPECT_EQ(info.Streams[0].Type, AVMEDIA_TYPE_AUDIO);
  EXPECT_NEAR(info.Duration, 3.0, 0.1);
  EXPECT_THROW(qvtest::DecodeVideo(f, nullptr), std::runtime_error);
  std::string err;
  EXPECT_FALSE(qvtest::ProbeMedia(dir.File("missing.flv"), info, &err));
  EXPECT_FALSE(err.empty());
  EXPECT_THROW(qvtest::MakeMedia(dir.File("x.flv"), Gen([](auto &o) { o.VideoCodec = "no-such-encoder"; })), std::runtime_error);
}

}  // namespace
