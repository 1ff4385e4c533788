// The generated test media must hold what was asked for, or every test that
// relies on it checks the wrong thing.
#include <gtest/gtest.h>

#include "TestEnv.h"
#include "TestMedia.h"

namespace {

class TestMediaTest : public ::testing::Test {
 protected:
  void SetUp() override { qvtest::LoadLibs(); }
  qvtest::TScratchDir Dir;
};

TEST_F(TestMediaTest, H264AacFlvProbesBackAsRequested)
{
  const std::string f = Dir.File("a.flv");
  qvtest::TGenOptions o;
  o.Seconds = 2.0;
  qvtest::MakeMedia(f, o);
  qvtest::TMediaInfo info;
  std::string err;
  ASSERT_TRUE(qvtest::ProbeMedia(f, info, &err)) << err;
  EXPECT_EQ(info.Format, "flv");
  ASSERT_EQ(info.Streams.size(), 2u);
  const auto *v = info.Find(AVMEDIA_TYPE_VIDEO);
  const auto *a = info.Find(AVMEDIA_TYPE_AUDIO);
  ASSERT_TRUE(v && a);
  EXPECT_EQ(v->Codec, "h264");
  EXPECT_EQ(v->Width, 320);
  EXPECT_EQ(v->Height, 240);
  EXPECT_EQ(v->Packets, 50);
  EXPECT_GE(v->KeyPackets, 1);
  EXPECT_EQ(v->PacketsBeforeFirstKey, 0);
  EXPECT_NEAR(v->Duration, 2.0, 0.05);
  EXPECT_EQ(a->Codec, "aac");
  EXPECT_EQ(a->SampleRate, 44100);
  EXPECT_EQ(a->Channels, 2);
  EXPECT_NEAR(a->Duration, 2.0, 0.1);
  EXPECT_EQ(qvtest::DecodeVideo(f, nullptr), 50);
}

TEST_F(TestMediaTest, Flv1Mp3OddSizeAndSingleStreamFiles)
{
  qvtest::TGenOptions o;
  o.VideoCodec = "flv";
  o.AudioCodec = "libmp3lame";
  o.Width = 176;
  o.Height = 144;
  o.FrameRate = {15, 1};
  o.SampleRate = 22050;
  o.Channels = 1;
  o.Seconds = 4.0;
  const std::string f1 = Dir.File("flv1.flv");
  qvtest::MakeMedia(f1, o);
  qvtest::TMediaInfo info;
  ASSERT_TRUE(qvtest::ProbeMedia(f1, info));
  ASSERT_TRUE(info.Find(AVMEDIA_TYPE_VIDEO) && info.Find(AVMEDIA_TYPE_AUDIO));
  EXPECT_EQ(info.Find(AVMEDIA_TYPE_VIDEO)->Codec, "flv1");
  EXPECT_EQ(info.Find(AVMEDIA_TYPE_VIDEO)->Packets, 60);
  EXPECT_EQ(info.Find(AVMEDIA_TYPE_AUDIO)->Codec, "mp3");
  EXPECT_EQ(info.Find(AVMEDIA_TYPE_AUDIO)->SampleRate, 22050);
  EXPECT_EQ(info.Find(AVMEDIA_TYPE_AUDIO)->Channels, 1);
  EXPECT_NEAR(info.Find(AVMEDIA_TYPE_AUDIO)->Duration, 4.0, 0.15);

  // Odd sizes must survive: x264 accepts them in 4:2:0 only with rounded-up chroma.
  qvtest::TGenOptions odd;
  odd.AudioCodec = "";
  odd.Width = 322;
  odd.Height = 242;
  odd.Seconds = 1.0;
  const std::string f2 = Dir.File("video-only.flv");
  qvtest::MakeMedia(f2, odd);
  ASSERT_TRUE(qvtest::ProbeMedia(f2, info));
  ASSERT_EQ(info.Streams.size(), 1u);
  EXPECT_EQ(info.Streams[0].Width, 322);
  EXPECT_EQ(info.Streams[0].Height, 242);
  int pictures = 0;
  EXPECT_EQ(qvtest::DecodeVideo(f2, [&](const AVFrame &fr) {
              EXPECT_EQ(fr.width, 322);
              ++pictures;
            }),
            25);
  EXPECT_EQ(pictures, 25);

  qvtest::TGenOptions aonly;
  aonly.VideoCodec = "";
  aonly.Container = "mp4";
  const std::string f3 = Dir.File("audio-only.mp4");
  qvtest::MakeMedia(f3, aonly);
  ASSERT_TRUE(qvtest::ProbeMedia(f3, info));
  EXPECT_EQ(info.Format, "mov,mp4,m4a,3gp,3g2,mj2");
  ASSERT_EQ(info.Streams.size(), 1u);
  EXPECT_EQ(info.Streams[0].Type, AVMEDIA_TYPE_AUDIO);
  EXPECT_NEAR(info.Duration, 3.0, 0.1);
  EXPECT_THROW(qvtest::DecodeVideo(f3, nullptr), std::runtime_error);
}

TEST_F(TestMediaTest, UnreadableFilesAreReportedNotThrown)
{
  qvtest::TMediaInfo info;
  std::string err;
  EXPECT_FALSE(qvtest::ProbeMedia(Dir.File("missing.flv"), info, &err));
  EXPECT_FALSE(err.empty());
  EXPECT_THROW(qvtest::MakeMedia(Dir.File("x.flv"), [] {
                 qvtest::TGenOptions o;
                 o.VideoCodec = "no-such-encoder";
                 return o;
               }()),
               std::runtime_error);
}

}  // namespace
