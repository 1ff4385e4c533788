// Timestamps and run bookkeeping: the decode and presentation clocks kept
// apart, the end of the last picture, pictures that collide on one output
// tick, one input feeding a copy and a re-encode, rate emulation per file,
// text tracks, metadata maps, a worker that never started, set-up failures
// and per-run counters.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "AVPtr.h"
#include "EngineRun.h"
#include "FFmpegThread.h"

namespace {

using qvtest::ConvertTest;
using qvtest::kCopy;
using qvtest::TMediaInfo;
using qvtest::TOptions;
using qvtest::TStreamInfo;
using qvtest::WindowOptions;
using qvtest::operator+;

class TimestampsTest : public ConvertTest {
 protected:
  std::string Make(const std::string &AName, const qvtest::TGenOptions &AGen)
  {
    qvtest::MakeMedia(Dir.File(AName), AGen);
    return Dir.File(AName);
  }
  bool Logged(const std::string &AText) const
  {
    for (const std::string &l : Lines)
      if (l.find(AText) != std::string::npos) return true;
    return false;
  }
};

// Pictures shown a constant time after they are decoded (as RTMP recorders
// write H.264) must not read as a timestamp discontinuity: the output keeps
// the input's length and the audio its own.
TEST_F(TimestampsTest, CompositionOffsetKeepsTheLength)
{
  for (int offset : {80, 500}) {
    SCOPED_TRACE(offset);
    qvtest::TGenOptions gen;
    gen.Seconds = 4;
    gen.FrameRate = {30, 1};
    gen.VideoPtsOffsetMs = offset;
    const std::string in = Make("cts" + std::to_string(offset) + ".flv", gen);
    TCustomFFmpeg engine;
    const TMediaInfo out = Convert(in, Dir.File("cts.mp4"), WindowOptions(), {}, &engine);
    const TStreamInfo *v = out.Find(AVMEDIA_TYPE_VIDEO), *a = out.Find(AVMEDIA_TYPE_AUDIO);
    ASSERT_TRUE(v && a);
    // The first picture is due at the offset; the gap before it is filled
    // (within two output ticks, as the ffmpeg command does).
    EXPECT_NEAR(v->Duration, 4.0 + offset / 1000.0, 0.14);
    EXPECT_NEAR(static_cast<double>(v->Packets), 15 * (4.0 + offset / 1000.0), 2);
    EXPECT_NEAR(a->Duration, Probe(in).Find(AVMEDIA_TYPE_AUDIO)->Duration, 0.03);
    EXPECT_LE(engine.FramesDup, 1 + offset * 15 / 1000);
  }
}

// The last picture of a slow source lasts until the source's end, not one
// output tick: a 1 fps source of 4 s gives 4 s of video at 15 fps.
TEST_F(TimestampsTest, LastPictureKeepsItsDisplayTime)
{
  for (const AVRational rate : {AVRational{1, 1}, AVRational{2, 1}, AVRational{25, 1}}) {
    SCOPED_TRACE(rate.num);
    qvtest::TGenOptions gen;
    gen.Seconds = 4;
    gen.FrameRate = rate;
    gen.VideoCodec = "flv";
    gen.AudioCodec = "";
    const std::string in = Make("slow.flv", gen);
    const TMediaInfo out = Convert(in, Dir.File("slow.mp4"), WindowOptions());
    const TStreamInfo *v = out.Find(AVMEDIA_TYPE_VIDEO);
    ASSERT_TRUE(v);
    EXPECT_NEAR(v->Duration, 4.0, 1.0 / 15 + 0.001);
    EXPECT_NEAR(static_cast<double>(v->Packets), 60, 1);
  }
  // A stop is not held up to fill the end, and a frame limit still holds.
  qvtest::TGenOptions gen;
  gen.Seconds = 4;
  gen.FrameRate = {1, 1};
  gen.AudioCodec = "";
  const std::string in = Make("one.flv", gen);
  const TMediaInfo limited = Convert(in, Dir.File("limited.mp4"), WindowOptions({{"vframes", "20"}}));
  ASSERT_TRUE(limited.Find(AVMEDIA_TYPE_VIDEO));
  EXPECT_EQ(limited.Find(AVMEDIA_TYPE_VIDEO)->Packets, 20);
}

// Without frame dropping (sync methods 0 and 2) two pictures that round to
// one output tick would give the encoder a timestamp that does not rise; the
// later one is dropped and counted instead of failing the job.
TEST_F(TimestampsTest, PicturesOnOneTickAreDroppedWithoutSync)
{
  qvtest::TGenOptions gen;
  gen.Seconds = 2;
  gen.FrameRate = {30, 1};
  gen.AudioCodec = "";
  const std::string in = Make("in.flv", gen);
  for (const char *method : {"0", "2"}) {
    SCOPED_TRACE(method);
    TCustomFFmpeg engine;
    const TMediaInfo out = Convert(in, Dir.File(std::string("vsync") + method + ".mp4"),
                                   WindowOptions({{"vsync", method}}), {}, &engine);
    const TStreamInfo *v = out.Find(AVMEDIA_TYPE_VIDEO);
    ASSERT_TRUE(v);
    EXPECT_NEAR(static_cast<double>(v->Packets), 30, 1);
    EXPECT_NEAR(engine.FramesDrop, 30, 1);
    EXPECT_EQ(engine.FramesDup, 0);
  }
}

// One input stream feeding a copy in one output and a re-encode in another:
// both get every packet.
TEST_F(TimestampsTest, OneStreamCopiedAndReencodedAtOnce)
{
  const std::string in = Generated("in.flv", 2);
  TCustomFFmpeg engine;
  Open(engine, in, Dir.File("copy.flv"), kCopy);
  ASSERT_FALSE(HasFatalFailure());
  for (const auto &[name, value] : WindowOptions()) engine.SetOption(name, value);
  ASSERT_TRUE(engine.OpenOutputFile(Dir.File("encoded.mp4"))) << engine.LastOptionError;
  engine.Start(false);
  ASSERT_TRUE(engine.Finished) << engine.LastErrorMessage;
  const TMediaInfo src = Probe(in), copy = Probe(Dir.File("copy.flv")), encoded = Probe(Dir.File("encoded.mp4"));
  for (int type : {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO}) {
    ASSERT_TRUE(copy.Find(type) && encoded.Find(type)) << type;
    EXPECT_EQ(copy.Find(type)->Packets, src.Find(type)->Packets);
    EXPECT_NEAR(encoded.Find(type)->Duration, src.Find(type)->Duration, 0.1);
  }
}

// "re" is given before the file it applies to; that file is then read no
// faster than it plays.
TEST_F(TimestampsTest, RateEmulationAppliesToTheFileItPrecedes)
{
  const std::string in = Generated("in.flv", 1.5);
  TCustomFFmpeg engine;
  engine.Prepare();
  engine.SetOption("re", "");
  ASSERT_TRUE(engine.OpenInputFile(in)) << engine.LastOptionError;
  for (const auto &[name, value] : kCopy) engine.SetOption(name, value);
  ASSERT_TRUE(engine.OpenOutputFile(Dir.File("re.flv"))) << engine.LastOptionError;
  const auto start = std::chrono::steady_clock::now();
  engine.Start(false);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_TRUE(engine.Finished) << engine.LastErrorMessage;
  EXPECT_GE(seconds, 1.2);  // a lower bound only: the source lasts 1.5 s
}

// A timed-text track (FLV onTextData) is written as a subtitle track where
// the output format has one, is left out of MP4, and a subtitle that the
// chosen encoder cannot take is skipped without failing the job.
TEST_F(TimestampsTest, TextTracksAreCarriedOrLeftOut)
{
  qvtest::TGenOptions gen;
  gen.Seconds = 3;
  gen.VideoCodec = "flv";
  gen.AudioCodec = "libmp3lame";
  gen.TextCues = {{500, "Hello"}, {1500, "World"}};
  const std::string in = Make("text.flv", gen);
  ASSERT_TRUE(Probe(in).Find(AVMEDIA_TYPE_SUBTITLE));

  const TMediaInfo mkv = Convert(in, Dir.File("copy.mkv"), kCopy);
  const TStreamInfo *s = mkv.Find(AVMEDIA_TYPE_SUBTITLE);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->Packets, 2);

  const TMediaInfo mp4 = Convert(in, Dir.File("window.mp4"), WindowOptions());
  EXPECT_EQ(mp4.Streams.size(), 2u);

  Lines.clear();
  const TMediaInfo bitmap = Convert(in, Dir.File("bitmap.mkv"), kCopy + TOptions{{"scodec", "dvdsub"}});
  EXPECT_TRUE(Logged("Subtitle encoding failed for output stream #0.2"));
  ASSERT_TRUE(bitmap.Find(AVMEDIA_TYPE_VIDEO));
}

// A metadata map carries the descriptive fields, not every tag of the input.
TEST_F(TimestampsTest, MetadataMapCopiesTheNamedFields)
{
  qvtest::TGenOptions gen;
  gen.Seconds = 1;
  gen.Container = "matroska";
  gen.Tags = {{"title", "Lecture 4"}, {"comment", "room 12"}, {"genre", "talk"}, {"session", "spring"}};
  const std::string in = Make("tagged.mkv", gen);
  Convert(in, Dir.File("mapped.mkv"), kCopy + TOptions{{"title", "own title"}, {"map_meta_data", "0:0"}});
  AVFormatContext *ic = nullptr;
  ASSERT_GE(AVFormatLib.avformat_open_input(&ic, Dir.File("mapped.mkv").c_str(), nullptr, nullptr), 0);
  auto tag = [&](const char *AKey) {
    const AVDictionaryEntry *e = AVUtilLib.av_dict_get(ic->metadata, AKey, nullptr, 0);
    return std::string(e ? e->value : "<none>");
  };
  EXPECT_EQ(tag("title"), "Lecture 4");
  EXPECT_EQ(tag("comment"), "room 12");
  EXPECT_EQ(tag("genre"), "talk");
  EXPECT_EQ(tag("session"), "<none>");
  AVFormatLib.avformat_close_input(&ic);
}

// Preparing an engine whose worker was created but never resumed ends that
// worker at once: the job it held is not run, and its end is reported once.
TEST_F(TimestampsTest, PrepareEndsAWorkerThatNeverRan)
{
  const std::string in = Generated("in.flv", 3), out = Dir.File("never.mp4");
  TCustomFFmpeg engine;
  Open(engine, in, out, WindowOptions());
  ASSERT_FALSE(HasFatalFailure());
  int ends = 0;
  engine.OnTerminate = [&](TCustomFFmpeg *) { ++ends; };
  ASSERT_NE(engine.Start(true), nullptr);
  engine.Prepare();
  EXPECT_EQ(ends, 1);
  EXPECT_FALSE(engine.Finished);
  EXPECT_LE(qvtest::FileSize(out), 0);  // nothing converted
}

// A set-up that fails after the encoders began to open closes them and frees
// the pass-2 statistics it read (the sanitizer build reports a leak
// otherwise); counters start from zero on every run of one engine.
TEST_F(TimestampsTest, SetupFailureAndRepeatedRunsLeaveNothingBehind)
{
  const std::string in = Generated("in.flv", 1);
  const std::string log = Dir.File("pass");
  {
    TCustomFFmpeg engine;
    Convert(in, Dir.File("pass1.mp4"), WindowOptions({{"pass", "1"}, {"passlogfile", log}, {"an", ""}}), {}, &engine);
  }
  ASSERT_TRUE(qvtest::FileExists(log + "-0.log"));
  TCustomFFmpeg engine;
  Run(engine, in, Dir.File("pass2.mp4"), WindowOptions({{"pass", "2"}, {"passlogfile", log}, {"ar", "1234"}}));
  EXPECT_TRUE(engine.ExceptionRaised);
  EXPECT_EQ(engine.LastErrorMessage.find("Error while opening codec for output stream #0.1"), 0u)
      << engine.LastErrorMessage;
  EXPECT_FALSE(qvtest::FileExists(Dir.File("pass2.mp4")));

  // The same engine, prepared again, reports only its own run.
  Convert(in, Dir.File("first.mp4"), WindowOptions(), {}, &engine);
  const int64_t video = engine.VideoSize, audio = engine.AudioSize;
  const int32_t drops = engine.FramesDrop;
  ASSERT_GT(video, 0);
  Convert(in, Dir.File("second.mp4"), WindowOptions(), {}, &engine);
  EXPECT_EQ(engine.VideoSize, video);
  EXPECT_EQ(engine.AudioSize, audio);
  EXPECT_EQ(engine.FramesDrop, drops);
}

// A copied stream whose time base is finer than a millisecond (MPEG-TS
// counts 90 kHz) takes the codec's own tick: for video, one picture.
TEST_F(TimestampsTest, CopiedFineTimeBasesTakeThePictureTick)
{
  qvtest::TGenOptions gen;
  gen.Seconds = 1;
  gen.Container = "mpegts";
  gen.VideoCodec = "mpeg2video";
  gen.AudioCodec = "";
  const std::string in = Make("in.ts", gen), out = Dir.File("copy.avi");  // AVI keeps the time base given
  Convert(in, out, kCopy);
  AVFormatContext *ic = nullptr;
  ASSERT_GE(AVFormatLib.avformat_open_input(&ic, out.c_str(), nullptr, nullptr), 0);
  ASSERT_EQ(ic->nb_streams, 1u);
  EXPECT_EQ(ic->streams[0]->time_base.num, 1);
  EXPECT_EQ(ic->streams[0]->time_base.den, 25);
  AVFormatLib.avformat_close_input(&ic);
}

// A packet that the decoder turns into more than one block is reported.
// NUT does not split MP3 frames, so two frames stored in one packet reach
// the decoder together.
TEST_F(TimestampsTest, MultipleFramesInOnePacketAreReported)
{
  qvtest::TGenOptions gen;
  gen.Seconds = 1;
  gen.VideoCodec = "";
  gen.AudioCodec = "libmp3lame";
  gen.Container = "mp3";
  const std::string mp3 = Make("tone.mp3", gen), paired = Dir.File("paired.nut");

  AVFormatContext *ic = nullptr, *oc = nullptr;
  ASSERT_GE(AVFormatLib.avformat_open_input(&ic, mp3.c_str(), nullptr, nullptr), 0);
  ASSERT_GE(AVFormatLib.avformat_find_stream_info(ic, nullptr), 0);
  ASSERT_GE(AVFormatLib.avformat_alloc_output_context2(&oc, nullptr, "nut", paired.c_str()), 0);
  AVStream *st = AVFormatLib.avformat_new_stream(oc, nullptr);
  ASSERT_GE(AVCodecLib.avcodec_parameters_copy(st->codecpar, ic->streams[0]->codecpar), 0);
  st->time_base = ic->streams[0]->time_base;
  ASSERT_GE(AVFormatLib.avio_open2(&oc->pb, paired.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr), 0);
  ASSERT_GE(AVFormatLib.avformat_write_header(oc, nullptr), 0);
  avbind::TPacketPtr first(AVCodecLib.av_packet_alloc()), second(AVCodecLib.av_packet_alloc()),
      both(AVCodecLib.av_packet_alloc());
  while (AVFormatLib.av_read_frame(ic, first.get()) >= 0) {
    const bool pair = AVFormatLib.av_read_frame(ic, second.get()) >= 0;
    const int size2 = pair ? second->size : 0;
    ASSERT_GE(AVCodecLib.av_new_packet(both.get(), first->size + size2), 0);
    std::memcpy(both->data, first->data, first->size);
    if (pair) std::memcpy(both->data + first->size, second->data, size2);
    both->pts = first->pts;
    both->dts = first->dts;
    both->duration = first->duration + (pair ? second->duration : 0);
    both->flags = AV_PKT_FLAG_KEY;
    both->stream_index = 0;
    AVCodecLib.av_packet_rescale_ts(both.get(), ic->streams[0]->time_base, st->time_base);
    ASSERT_GE(AVFormatLib.av_interleaved_write_frame(oc, both.get()), 0);
    AVCodecLib.av_packet_unref(first.get());
    AVCodecLib.av_packet_unref(second.get());
  }
  ASSERT_GE(AVFormatLib.av_write_trailer(oc), 0);
  AVFormatLib.avio_closep(&oc->pb);
  AVFormatLib.avformat_free_context(oc);
  AVFormatLib.avformat_close_input(&ic);

  const TMediaInfo out = Convert(paired, Dir.File("out.mp4"), WindowOptions());
  EXPECT_TRUE(Logged("Multiple frames in a packet from stream 0"));
  ASSERT_TRUE(out.Find(AVMEDIA_TYPE_AUDIO));
  EXPECT_NEAR(out.Find(AVMEDIA_TYPE_AUDIO)->Duration, 1.0, 0.1);
}

}  // namespace
