// The FLV source as the rest of the program sees it: FFmpeg streams with the
// codecs, sizes and rates the Matroska sources hold, the same packets, a new
// configuration carried so that the stream decodes end to end, and files of
// codecs nothing here decodes refused by name.
#include <gtest/gtest.h>

#include <map>

#include "AVPtr.h"
#include "EnhancedFlv.h"
#include "FlvSource.h"
#include "TestEnv.h"

namespace qvtest {
void PrintTo(const TEnhancedRecipe &ARecipe, std::ostream *AOut) { *AOut << ARecipe.Name; }
}  // namespace qvtest

namespace {

class FlvSourceTest : public ::testing::TestWithParam<qvtest::TEnhancedRecipe> {
 protected:
  static void SetUpTestSuite() { qvtest::LoadLibs(); }
  qvtest::TScratchDir Dir;
};

std::unique_ptr<flv::TFlvSource> OpenSource(const std::string &APath, std::string &AError)
{
  return flv::TFlvSource::Open(APath, {}, AError);
}

TEST_P(FlvSourceTest, StreamsAndPacketsAreTheSources)
{
  const qvtest::TEnhancedFlv f = qvtest::MakeEnhancedFlv(Dir.Path(), GetParam());
  const std::vector<qvtest::TSourceStream> source = qvtest::ReadSource(f.Source);
  std::string error;
  auto flvSource = OpenSource(f.Path, error);
  ASSERT_TRUE(flvSource) << error;
  const AVFormatContext *ic = flvSource->Context();
  ASSERT_EQ(ic->nb_streams, f.Tracks.size());

  // Each FLV track is the stream of its kind and track id.
  std::map<int, const qvtest::TSourceStream *> sourceOf;
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    const AVStream *st = ic->streams[i];
    const bool video = st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
    for (const qvtest::TFlvTrackRef &t : f.Tracks)
      if (t.Video == video && t.TrackId == st->id) sourceOf[static_cast<int>(i)] = &source.at(t.Source);
    ASSERT_TRUE(sourceOf.count(static_cast<int>(i))) << "stream " << i;
    const qvtest::TSourceStream &s = *sourceOf[static_cast<int>(i)];
    SCOPED_TRACE(AVCodecLib.avcodec_get_name(st->codecpar->codec_id));
    EXPECT_EQ(st->codecpar->codec_id, s.CodecId);
    if (video) {
      EXPECT_EQ(std::make_pair(st->codecpar->width, st->codecpar->height), std::make_pair(s.Width, s.Height));
      EXPECT_EQ(av_q2d(st->r_frame_rate), 25.0);
    } else {
      EXPECT_EQ(std::make_pair(st->codecpar->sample_rate, st->codecpar->ch_layout.nb_channels),
                std::make_pair(s.SampleRate, s.Channels));
    }
    if (st->codecpar->codec_id == AV_CODEC_ID_HEVC && st->codecpar->codec_id == s.CodecId) {
      EXPECT_EQ(std::string(reinterpret_cast<const char *>(st->codecpar->extradata), st->codecpar->extradata_size),
                s.Extradata);
    }
  }

  std::map<int, std::size_t> next;
  avbind::TPacketPtr pkt(AVCodecLib.av_packet_alloc());
  while (flvSource->Read(pkt.get()) == 0) {
    const AVStream *st = ic->streams[pkt->stream_index];
    const qvtest::TSourceStream &s = *sourceOf[pkt->stream_index];
    const std::size_t n = next[pkt->stream_index]++;
    ASSERT_LT(n, s.Packets.size()) << "stream " << pkt->stream_index;
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(pkt->data), pkt->size), s.Packets[n].Data)
        << "stream " << pkt->stream_index << " packet " << n;
    // ModEx offsets below the millisecond: the source keeps whole milliseconds.
    EXPECT_EQ(pkt->pts * 1000 * st->time_base.num / st->time_base.den, s.Packets[n].PtsMs)
        << "stream " << pkt->stream_index << " packet " << n;
    EXPECT_GT(pkt->duration, 0) << AVCodecLib.avcodec_get_name(st->codecpar->codec_id) << " frame_size " << st->codecpar->frame_size;
    AVCodecLib.av_packet_unref(pkt.get());
  }
  for (const auto &[stream, s] : sourceOf) EXPECT_EQ(next[stream], s->Packets.size()) << "stream " << stream;
}

INSTANTIATE_TEST_SUITE_P(Enhanced, FlvSourceTest, ::testing::ValuesIn(qvtest::EnhancedRecipes()),
                         [](const auto &AInfo) { return AInfo.param.Name; });

class FlvSourceDamageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { qvtest::LoadLibs(); }
  qvtest::TScratchDir Dir;
};

// Pictures of both sizes decode without an error: the second configuration
// travels in-band with the first picture after it. The sound's new
// configuration reaches its decoder as new extradata and marks the stream.
TEST_F(FlvSourceDamageTest, AChangedConfigurationDecodesEndToEnd)
{
  const qvtest::TDamagedFlv f = qvtest::MakeDamagedFlv(Dir.Path(), qvtest::TDamage::ConfigChange);
  std::string error;
  auto flvSource = OpenSource(f.Path, error);
  ASSERT_TRUE(flvSource) << error;
  const AVFormatContext *ic = flvSource->Context();
  int video = -1, audio = -1;
  for (unsigned i = 0; i < ic->nb_streams; ++i)
    (ic->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO ? video : audio) = static_cast<int>(i);
  ASSERT_GE(video, 0);
  ASSERT_GE(audio, 0);
  EXPECT_NE(AVUtilLib.av_dict_get(ic->streams[audio]->metadata, "config_changes", nullptr, 0), nullptr);

  const AVCodec *codec = AVCodecLib.avcodec_find_decoder(AV_CODEC_ID_H264);
  avbind::TCodecCtxPtr dec(AVCodecLib.avcodec_alloc_context3(codec));
  ASSERT_GE(AVCodecLib.avcodec_parameters_to_context(dec.get(), ic->streams[video]->codecpar), 0);
  ASSERT_GE(AVCodecLib.avcodec_open2(dec.get(), codec, nullptr), 0);
  avbind::TPacketPtr pkt(AVCodecLib.av_packet_alloc());
  avbind::TFramePtr frame(AVUtilLib.av_frame_alloc());
  std::map<std::pair<int, int>, int> sizes;
  int errors = 0, newExtradata = 0;
  auto drain = [&] {
    while (AVCodecLib.avcodec_receive_frame(dec.get(), frame.get()) >= 0) {
      ++sizes[{frame->width, frame->height}];
      errors += frame->decode_error_flags != 0;
    }
  };
  while (flvSource->Read(pkt.get()) == 0) {
    if (pkt->stream_index == video) {
      errors += AVCodecLib.avcodec_send_packet(dec.get(), pkt.get()) < 0;
      drain();
    } else if (AVCodecLib.av_packet_get_side_data(pkt.get(), AV_PKT_DATA_NEW_EXTRADATA, nullptr)) {
      ++newExtradata;
    }
    AVCodecLib.av_packet_unref(pkt.get());
  }
  AVCodecLib.avcodec_send_packet(dec.get(), nullptr);
  drain();
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(sizes, (std::map<std::pair<int, int>, int>{{{160, 120}, 50}, {{176, 144}, 50}}));
  EXPECT_EQ(newExtradata, 1);
}

// A FourCC nothing here decodes is named; with no other track of its kind
// the file is refused rather than converted without its pictures.
TEST_F(FlvSourceDamageTest, AnUnknownFourCCIsNamed)
{
  qvtest::TEnhancedRecipe recipe = qvtest::EnhancedRecipes().front();  // hvc1 and Opus
  const qvtest::TEnhancedFlv f = qvtest::MakeEnhancedFlv(Dir.Path(), recipe);
  std::string bytes = qvtest::ReadFile(f.Path);
  for (std::size_t at = 0; (at = bytes.find("hvc1", at)) != std::string::npos;) bytes.replace(at, 4, "vvc1");
  qvtest::WriteFile(Dir.File("vvc1.flv"), bytes);
  std::string error;
  EXPECT_FALSE(OpenSource(Dir.File("vvc1.flv"), error));
  EXPECT_EQ(error, "This file's video uses a codec this program cannot decode: FourCC 'vvc1'");
}

}  // namespace
