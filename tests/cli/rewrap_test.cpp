// quenvaro-cli convert beyond the window's classic conversion: rewraps
// (--preset copy), presets that name their encoders, and the expected size
// of a dry run.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "CliTest.h"
#include "TestEnv.h"
#include "TestMedia.h"

namespace {

using namespace clitest;
using Rewrap = TBatchFixture;

void ExpectSamePackets(const std::string &AIn, const std::string &AOut, int AType)
{
  EXPECT_EQ(qvtest::ComparePackets(AIn, AOut, AType), "") << AOut << " stream type " << AType;
}

std::string Codec(const std::string &APath, int AType)
{
  qvtest::TMediaInfo info;
  if (!qvtest::ProbeMedia(APath, info)) return "(unreadable)";
  const qvtest::TStreamInfo *s = info.Find(AType);
  return s ? s->Codec : "(none)";
}

// The number quenvaro-cli presets gives the first preset whose name starts with APrefix.
std::string PresetNumber(const std::string &APrefix)
{
  for (const std::string &line : Split(RunCli({"presets"}).Out, "\n"))
    if (line.find("\t" + APrefix) != std::string::npos) return line.substr(0, line.find('\t'));
  ADD_FAILURE() << "no preset " << APrefix;
  return "1";
}

int64_t ExpectedSize(const std::vector<TEvent> &AEvents)
{
  for (const TEvent &e : AEvents)
    if (e.at("event") == "estimate") return std::stoll(e.at("expected_size"));
  ADD_FAILURE() << "no estimate";
  return -1;
}

}  // namespace

TEST_F(Rewrap, CopyCarriesH264WithAacOrMp3PacketForPacketAndConvertsTheRest)
{
  qvtest::TGenOptions o;
  o.Seconds = 2.0;
  qvtest::MakeMedia(Dir.File("aac.flv"), o);
  o.AudioCodec = "libmp3lame";
  qvtest::MakeMedia(Dir.File("mp3.flv"), o);
  const std::string flv1 = MakeFlv("old.flv"), presets = Presets();

  TRun r = RunCli({"convert", "--presets", presets, "--preset", "copy", "--json", Dir.File("aac.flv"),
                   Dir.File("mp3.flv"), flv1});
  ASSERT_EQ(r.Code, 0) << r.Err;
  for (const char *name : {"aac", "mp3"}) {
    const std::string in = Dir.File(std::string(name) + ".flv"), out = Dir.File(std::string(name) + "_(new).mp4");
    EXPECT_EQ(Codec(out, AVMEDIA_TYPE_VIDEO), "h264");
    EXPECT_EQ(Codec(out, AVMEDIA_TYPE_AUDIO), name);
    ExpectSamePackets(in, out, AVMEDIA_TYPE_VIDEO);
    ExpectSamePackets(in, out, AVMEDIA_TYPE_AUDIO);
  }
  // FLV1 video cannot go into MP4 as it is: the first preset, and a note.
  ExpectConverted(Dir.File("old_(new).mp4"));
  int notes = 0;
  for (const TEvent &e : Events(r.Out))
    if (e.at("event") == "note") {
      ++notes;
      EXPECT_EQ(e.at("input"), flv1);
      EXPECT_EQ(e.at("message"), "Its video (flv1) cannot be copied into MP4; converting with the preset 'Tiny 160x120'");
    }
  EXPECT_EQ(notes, 1);
  // Without --json the note goes to the terminal's log.
  r = RunCli({"convert", "--presets", presets, "--preset", "copy", flv1});
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_TRUE(Has(r.Err, flv1 + ": Its video (flv1) cannot be copied into MP4")) << r.Err;
  ExpectConverted(Dir.File("old_(new_1).mp4"));
}

// H.264 with Speex sound (a real recording): the video is copied, the sound
// decoded and encoded to AAC at its own rate.
TEST_F(Rewrap, VideoOnlyRewrapTurnsSpeexIntoAac)
{
  const std::string in = Dir.File("speex.flv"), out = Dir.File("speex_(new).mp4");
  std::filesystem::copy_file(qvtest::Sample("red5-server__flashContent1.flv"), in);
  const TRun r = RunCli({"convert", "--preset", "copy", in});
  ASSERT_EQ(r.Code, 0) << r.Err;
  ExpectSamePackets(in, out, AVMEDIA_TYPE_VIDEO);
  qvtest::TMediaInfo before, after;
  ASSERT_TRUE(qvtest::ProbeMedia(in, before));
  ASSERT_TRUE(qvtest::ProbeMedia(out, after));
  const qvtest::TStreamInfo *a = after.Find(AVMEDIA_TYPE_AUDIO);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->Codec, "aac");
  EXPECT_EQ(std::make_pair(a->SampleRate, a->Channels), std::make_pair(16000, 1));
  EXPECT_NEAR(a->Duration, before.Find(AVMEDIA_TYPE_AUDIO)->Duration, 0.25);
  // The new sound decodes cleanly (the pictures are the input's own).
  const TRun decode = RunProgram("ffmpeg", {"-nostdin", "-v", "error", "-i", out, "-map", "0:a", "-f", "null", "-"});
  EXPECT_EQ(decode.Code, 0);
  EXPECT_EQ(decode.Err, "");
}

// The shipped H.264 presets: H.264 at the preset's size for a source of its
// shape, the largest size of the source's shape otherwise, always at the
// source's frame rate.
TEST_F(Rewrap, H264PresetKeepsTheSourcesRateAtThePresetsSize)
{
  qvtest::TGenOptions o;
  o.Seconds = 2.0;
  o.Width = 854, o.Height = 480, o.FrameRate = {30, 1};
  qvtest::MakeMedia(Dir.File("wide.flv"), o);
  o.VideoCodec = "flv", o.Width = 320, o.Height = 240, o.FrameRate = {24, 1};
  qvtest::MakeMedia(Dir.File("square.flv"), o);
  const TRun r = RunCli({"convert", "--preset", PresetNumber("H.264 640x360"), "--jobs", "1", Dir.File("wide.flv"),
                         Dir.File("square.flv")});
  ASSERT_EQ(r.Code, 0) << r.Err;
  const std::tuple<const char *, int, int, double> cases[] = {{"wide_(new).mp4", 640, 360, 30.0},
                                                              {"square_(new).mp4", 480, 360, 24.0}};
  for (const auto &[name, width, height, fps] : cases) {
    SCOPED_TRACE(name);
    qvtest::TMediaInfo info;
    ASSERT_TRUE(qvtest::ProbeMedia(Dir.File(name), info));
    const qvtest::TStreamInfo *v = info.Find(AVMEDIA_TYPE_VIDEO);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->Codec, "h264");
    EXPECT_EQ(std::make_pair(v->Width, v->Height), std::make_pair(width, height));
    EXPECT_NEAR(av_q2d(v->FrameRate), fps, 0.05);
    EXPECT_NEAR(static_cast<double>(v->Packets), 2.0 * fps, 2.0);
    EXPECT_EQ(Codec(Dir.File(name), AVMEDIA_TYPE_AUDIO), "aac");
  }
}

// The size a dry run foretells, on a minute of 640x360 H.264 and AAC (the
// bench file), is within a tenth of what the conversion writes, for a
// classic preset, an H.264 one and the rewrap; the dry run itself writes
// nothing. A preset whose encoder is missing stops before anything starts.
TEST_F(Rewrap, DryRunForetellsTheSizeAndWritesNothing)
{
  const std::string bench = Dir.File("bench.flv");
  const TRun made = RunProgram(
      "ffmpeg", {"-nostdin", "-v", "error", "-f", "lavfi", "-i", "testsrc2=d=60:s=640x360:r=30", "-f", "lavfi", "-i",
                 "sine=d=60", "-ac", "2", "-c:v", "libx264", "-preset", "veryfast", "-b:v", "1500k", "-c:a", "aac",
                 "-b:a", "128k", "-ar", "44100", bench});
  ASSERT_EQ(made.Code, 0) << made.Err;
  std::string out;
  for (const std::string &preset : {std::string("1"), PresetNumber("H.264 640x360"), std::string("copy")}) {
    SCOPED_TRACE("preset " + preset);
    out = Dir.File("out-" + preset);
    std::filesystem::create_directory(out);
    TRun r = RunCli({"convert", "--preset", preset, "--output-dir", out, "-y", "--dry-run", "--json", bench});
    ASSERT_EQ(r.Code, 0) << r.Err;
    EXPECT_TRUE(std::filesystem::is_empty(out));
    const auto events = Events(r.Out);
    const int64_t expected = ExpectedSize(events);
    EXPECT_EQ(events.back().at("event"), "dry_run_end");
    EXPECT_EQ(events.back().at("expected_size"), std::to_string(expected));
    r = RunCli({"convert", "--preset", preset, "--output-dir", out, "-y", bench});
    ASSERT_EQ(r.Code, 0) << r.Err;
    const long long real = qvtest::FileSize(out + "/bench.mp4");
    EXPECT_NEAR(static_cast<double>(expected), static_cast<double>(real), real * 0.1) << expected << " " << real;
  }

  // Plain text names the output and the size; an existing output the run
  // would refuse fails the dry run too.
  TRun r = RunCli({"convert", "--preset", "copy", "--output-dir", out, "--dry-run", bench});
  EXPECT_EQ(r.Code, 1);
  EXPECT_TRUE(Has(r.Err, "File '" + out + "/bench.mp4' already exists. Use -y to overwrite it.")) << r.Err;
  r = RunCli({"convert", "--preset", "copy", "--dry-run", bench});
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_TRUE(Has(r.Err, bench + " -> " + Dir.File("bench_(new).mp4") + ": Expected size: ~ ")) << r.Err;
  EXPECT_TRUE(Has(r.Err, "[Original quality, no re-encoding (fastest)]")) << r.Err;
  EXPECT_FALSE(qvtest::FileExists(Dir.File("bench_(new).mp4")));
  r = RunCli({"convert", "--dry-run", "--report", Dir.File("report.jsonl"), bench});
  EXPECT_EQ(r.Code, 1);
  EXPECT_FALSE(qvtest::FileExists(Dir.File("report.jsonl")));

  qvtest::WriteFile(Dir.File("missing.ini"), "[x]\nname=X\nframe_width=320\nframe_height=240\nvideo_bitrate=300000\n"
                                              "audio_bitrate=64000\nvideo_codec=nosuchencoder\n");
  for (bool dry : {false, true}) {
    TArgs args = {"convert", "--presets", Dir.File("missing.ini"), bench};
    if (dry) args.push_back("--dry-run");
    r = RunCli(args);
    EXPECT_EQ(r.Code, 1) << dry;
    EXPECT_TRUE(Has(r.Err, "The preset 'X' needs the encoder 'nosuchencoder', which the media libraries lack")) << r.Err;
    EXPECT_FALSE(qvtest::FileExists(Dir.File("bench_(new).mp4")));
  }
}

// A dry run of a resumable batch tells which files a run would skip or
// refuse, without touching any of them.
TEST_F(Rewrap, DryRunOfAResumableBatchSaysWhatARunWouldDo)
{
  const std::string presets = Presets(), a = MakeFlv("a.flv"), b = MakeFlv("b.flv"), c = MakeFlv("c.flv");
  qvtest::WriteFile(Dir.File("first.txt"), a + "\n");
  ASSERT_EQ(RunCli({"convert", "--presets", presets, "--manifest", Dir.File("first.txt")}).Code, 0);
  qvtest::WriteFile(Dir.File("c_(new).mp4"), "not a video");
  const std::string done = Stamp(Dir.File("a_(new).mp4")), other = Stamp(Dir.File("c_(new).mp4"));
  qvtest::WriteFile(Dir.File("all.txt"), a + "\n" + b + "\n" + c + "\n");
  const TRun r = RunCli({"convert", "--presets", presets, "--manifest", Dir.File("all.txt"), "--dry-run", "--json"});
  EXPECT_EQ(r.Code, 2) << r.Err;
  std::map<std::string, std::string> what;
  for (const TEvent &e : Events(r.Out)) {
    if (e.at("event") == "estimate") what[e.at("input")] = "estimate " + e.at("output");
    if (e.at("event") == "end") what[e.at("input")] = e.at("status");
  }
  EXPECT_EQ(what[a], "skipped");
  EXPECT_EQ(what[b], "estimate " + Dir.File("b_(new).mp4"));
  EXPECT_EQ(what[c], "failed");
  EXPECT_FALSE(qvtest::FileExists(Dir.File("b_(new).mp4")));
  EXPECT_EQ(Stamp(Dir.File("a_(new).mp4")), done);
  EXPECT_EQ(Stamp(Dir.File("c_(new).mp4")), other);
  for (const auto &entry : std::filesystem::directory_iterator(Dir.Path()))
    EXPECT_NE(entry.path().extension(), ".qvpart") << entry.path();
}
