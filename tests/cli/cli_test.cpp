// quenvaro-cli run as a program: its report against ffprobe, its argument
// rules and exit codes, and batch conversion of generated FLV files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>

#include "CliTest.h"
#include "ConvertRecord.h"
#include "TestEnv.h"
#include "TestMedia.h"

namespace {

using namespace clitest;
using qvtest::TScratchDir;
using Batch = TBatchFixture;

// ---- the records shared with the window ----

TEST(ConvertRecord, PresetFillsTheWindowsFields)
{
  TFormat p;
  p.FrameWidth = 320, p.FrameHeight = 240, p.FrameRate = 30;  // the rate is kept, never used
  p.VideoBitrate = 300000, p.AudioBitrate = 64000, p.AudioChannels = 1, p.AudioFrequency = 22050;
  const TOutputOptions r = ConvertOutputRecord(&p);
  EXPECT_EQ(r.VideoCodecName + " " + r.AudioCodecName + " " + r.FrameRate + " " + r.FrameSize,
            "mpeg4 libfaac 15 320x240");
  EXPECT_EQ(std::vector<int64_t>({r.VideoBitrate, r.AudioBitrate, r.AudioChannels, r.AudioSampleRate}),
            std::vector<int64_t>({300000, 64000, 1, 22050}));
  // Without a preset only the codecs and the rate are asked for.
  const TOutputOptions bare = ConvertOutputRecord(nullptr);
  EXPECT_EQ(bare.VideoCodecName + " " + bare.FrameRate + " [" + bare.FrameSize + "]", "mpeg4 15 []");
  EXPECT_EQ(bare.VideoBitrate, -1);
  EXPECT_EQ(bare.AudioSampleRate, -1);
  EXPECT_EQ(ConvertInputRecord("/v/clip.flv").FileName, "/v/clip.flv");
  EXPECT_EQ(ConvertInputRecord("/v/clip.flv").StartPosition, -1);
}

// ---- the report and the single-job arguments ----

TEST(Cli, InfoOnEverySampleAgreesWithFfprobe)
{
  if (RunProgram("ffprobe", {"-version"}).Code != 0) GTEST_SKIP() << "ffprobe not installed";
  for (const std::string &f : qvtest::AllSamples()) {
    SCOPED_TRACE(f);
    const TRun r = RunCli({"--info", f});
    ASSERT_EQ(r.Code, 0) << r.All();
    const auto lines = Split(r.Out, "\r\n");
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "File Name: " + f);
    EXPECT_EQ(lines[1], "Format Name: flv");
    std::vector<std::string> streams;
    std::string duration;
    for (const auto &l : lines) {
      if (l.rfind("Stream #", 0) == 0) streams.push_back(l);
      if (l.rfind("Duration: ", 0) == 0) duration = l.substr(10);
    }
    const TRun fp = RunProgram("ffprobe", {"-v", "error", "-show_entries",
                                           "stream=codec_type,codec_name,width,height,sample_rate,r_frame_rate", "-of",
                                           "compact=p=0:nk=0", f});
    auto theirs = Split(fp.Out, "\n");
    // FFmpeg 5.1 gives up on this file's tags (every back-pointer is off by
    // four) and lists its sound only; the tags hold H.264 pictures too.
    if (f.find("red5-server__h264_aac.flv") != std::string::npos)
      theirs.push_back("codec_type=video|codec_name=h264|width=160|height=120|r_frame_rate=15/1");
    ASSERT_EQ(streams.size(), theirs.size()) << r.Out << fp.All();
    for (std::size_t i = 0; i < streams.size(); ++i) {
      std::map<std::string, std::string> kv;
      for (const auto &field : Split(theirs[i], "|"))
        kv[field.substr(0, field.find('='))] = field.substr(field.find('=') + 1);
      const std::string &s = streams[i];
      EXPECT_EQ(s.rfind("Stream #" + std::to_string(i), 0), 0u) << s;
      if (kv["codec_type"] == "video") {
        EXPECT_TRUE(Has(s, ": Video: " + kv["codec_name"]) && Has(s, kv["width"] + "x" + kv["height"])) << s;
        int num = 0, den = 1;
        ASSERT_EQ(std::sscanf(kv["r_frame_rate"].c_str(), "%d/%d", &num, &den), 2);
        char rate[64];
        std::snprintf(rate, sizeof rate, ", %5.2f tb(r)", static_cast<double>(num) / den);
        // 1000/1 is the time base, FFmpeg's word for a rate it does not know
        // (a lone picture); ours may come from onMetaData then.
        if (!(num == 1000 && den == 1)) {
          EXPECT_TRUE(Has(s, rate)) << s << " vs " << rate;
        }
      } else {
        EXPECT_TRUE(Has(s, ": Audio: " + kv["codec_name"]) && Has(s, ", " + kv["sample_rate"] + " Hz")) << s;
      }
    }
    // The length is what the packets span (onMetaData's duration is often
    // wrong), to within a frame's time.
    const TRun fd = RunProgram("ffprobe", {"-v", "error", "-show_entries", "packet=pts_time,duration_time", "-of",
                                           "csv=p=0", f});
    double first = 1e100, end = -1e100;
    for (const auto &l : Split(fd.Out, "\n")) {
      double pts = 0, length = 0;
      if (std::sscanf(l.c_str(), "%lf,%lf", &pts, &length) < 1) continue;  // a length may be N/A
      first = std::min(first, pts);
      end = std::max(end, pts + length);
    }
    int h = 0, m = 0, sec = 0, c = 0;
    if (f.find("red5-server__h264_aac.flv") != std::string::npos)
      continue;  // FFmpeg reads none of its packets
    if (end <= first)
      EXPECT_EQ(duration, "N/A");
    else if (std::sscanf(duration.c_str(), "%d:%d:%d.%d", &h, &m, &sec, &c) != 4)
      ADD_FAILURE() << duration;
    else
      // FFmpeg may leave the last picture's length unknown: one frame's time.
      EXPECT_NEAR(h * 3600.0 + m * 60.0 + sec + c / 100.0, end - first, 0.1) << duration << " vs " << end - first;
  }
}

TEST(Cli, VersionUsageAndInfoFailures)
{
  TScratchDir dir;
  TRun r = RunCli({"--version"});
  EXPECT_EQ(r.Code, 0);
  EXPECT_EQ(r.Out.rfind("quenvaro-cli 1.", 0), 0u) << r.Out;
  EXPECT_EQ(RunCli({}).Code, 1);

  qvtest::WriteFile(dir.File("zero.flv"), "");
  for (const auto &[name, message] :
       {std::pair{"missing.flv", ": no such file or directory\n"}, {"zero.flv", ": Unknown format\n"}}) {
    r = RunCli({"--info", dir.File(name)});
    EXPECT_EQ(r.Code, 1);
    EXPECT_EQ(r.All(), dir.File(name) + message);
  }
  // The broken sample lists only its audio and never crashes the report.
  r = RunCli({"--info", qvtest::Sample("red5-server__h264_aac.flv")});
  EXPECT_EQ(r.Code, 0);
  EXPECT_TRUE(Has(r.Out, "Stream #0, 1/1000: Audio: aac")) << r.Out;
}

TEST(Cli, WithoutLibAVBesideItExitsWithTheLoaderMessage)
{
  TScratchDir dir;
  std::filesystem::copy_file(Cli(), dir.File("quenvaro-cli"));
  std::filesystem::permissions(dir.File("quenvaro-cli"), std::filesystem::perms::owner_exec,
                               std::filesystem::perm_options::add);
  const TRun r = RunProgram(dir.File("quenvaro-cli"), {"--info", qvtest::Sample("ruffle__dummy.flv")});
  EXPECT_EQ(r.Code, 1);
  EXPECT_EQ(r.All().rfind("Load libraray libavcodec.so.59 error: ", 0), 0u) << r.All();
}

TEST(Cli, JobArgumentsAndTheOverwriteRule)
{
  TScratchDir dir;
  const std::string in = qvtest::Sample("ruffle__dummy.flv"), out = dir.File("out.mp4");
  const std::pair<TArgs, std::string> failures[] = {
      {{"-i", in, "-s", "320x241", out}, "Frame size must be a multiple of 2"},
      {{"-threads", "2", "-i", in, out}, "TODO: option - threads"},
      {{"--threads", "0", "-i", in, out}, "'0' is not a valid number of threads"},
      {{"-i", dir.File("none.flv"), out}, dir.File("none.flv") + ": no such file or directory"},
      {{"-i", in, "-s"}, ""}};
  for (const auto &[args, message] : failures) {
    const TRun r = RunCli(args);
    EXPECT_EQ(r.Code, 1) << args[2];
    EXPECT_TRUE(Has(r.All(), message)) << r.All();
  }
  EXPECT_FALSE(qvtest::FileExists(out));

  // An existing output is never overwritten without -y, and replaced with it.
  qvtest::WriteFile(out, "keep me");
  TRun r = RunCli({"-i", in, out});
  EXPECT_EQ(r.Code, 1);
  EXPECT_TRUE(Has(r.All(), "already exists")) << r.All();
  EXPECT_EQ(qvtest::ReadFile(out), "keep me");
  r = RunCli({"-y", "-i", qvtest::Sample("ruffle__netstream_play_flv-test_video.flv"), "-vcodec", "mpeg4", "-acodec",
              "aac", "-ac", "1", out});
  EXPECT_EQ(r.Code, 0) << r.All();
  EXPECT_GT(qvtest::FileSize(out), 1000);

  // One thread or several: the same file.
  const std::string sample = qvtest::Sample("membrane_rtmp_plugin__testsrc.flv");
  const TArgs window = {"-vcodec", "mpeg4", "-acodec", "libfaac", "-s", "320x240", "-r", "15"};
  for (const char *threads : {"1", "3"}) {
    TArgs args = {"-y", "--threads", threads, "-i", sample};
    args.insert(args.end(), window.begin(), window.end());
    args.push_back(dir.File(std::string("t") + threads + ".mp4"));
    EXPECT_EQ(RunCli(args).Code, 0);
  }
  EXPECT_TRUE(qvtest::ReadFile(dir.File("t1.mp4")) == qvtest::ReadFile(dir.File("t3.mp4")));

  // An FLV of no tags fails with a message; the sample whose back-pointers
  // are all off by four (which FFmpeg gives up on) converts.
  qvtest::WriteFile(dir.File("empty.flv"), std::string("FLV\x01\x05\0\0\0\x09\0\0\0\0", 13));
  r = RunCli({"-i", dir.File("empty.flv"), dir.File("broken.mp4")});
  EXPECT_EQ(r.Code, 1);
  EXPECT_TRUE(Has(r.All(), "no audio or video data could be read")) << r.All();
  r = RunCli({"-i", qvtest::Sample("red5-server__h264_aac.flv"), dir.File("odd.mp4")});
  EXPECT_EQ(r.Code, 0) << r.All();
}

// Stream copy of every sample through the command: the same streams with the
// same codecs come out, and no more packets than went in. (Exact packet
// counts are the engine tests' business; probing runs in ffprobe so this
// process never loads the libraries next to its forks.)
TEST(Cli, StreamCopyOfEverySampleKeepsItsStreams)
{
  TScratchDir dir;
  const auto streams = [](const std::string &AFile) {
    const TRun r = RunProgram("ffprobe", {"-v", "error", "-count_packets", "-show_entries",
                                          "stream=codec_type,codec_name,nb_read_packets", "-of", "csv=p=0", AFile});
    std::vector<std::vector<std::string>> out;
    for (const std::string &line : Split(r.Out, "\n"))
      if (!line.empty()) out.push_back(Split(line, ","));
    return out;
  };
  for (const std::string &sample : qvtest::AllSamples()) {
    const auto in = streams(sample);
    long long packets = 0;
    bool mp4 = true;
    for (const auto &s : in) {
      ASSERT_EQ(s.size(), 3u) << sample;
      packets += s[2] == "N/A" ? 0 : std::stoll(s[2]);
      mp4 = mp4 && (s[0] == "h264" || s[0] == "aac" || s[0] == "mp3");
    }
    if (packets == 0) continue;  // the unreadable sample fails, as tested above
    for (const std::string ext : {".flv", ".mp4"}) {
      if (ext == ".mp4" && !mp4) continue;
      const std::string out = dir.File("copy" + ext);
      const TRun r = RunCli({"-y", "-i", sample, "-vcodec", "copy", "-acodec", "copy", out});
      ASSERT_EQ(r.Code, 0) << sample << ext << "\n" << r.All();
      const auto got = streams(out);
      ASSERT_EQ(got.size(), in.size()) << sample << ext;
      for (const auto &s : in) {
        const auto o = std::find_if(got.begin(), got.end(), [&](const auto &g) { return g[1] == s[1]; });
        ASSERT_NE(o, got.end()) << sample << ext;
        EXPECT_EQ((*o)[0], s[0]) << sample << ext;
        EXPECT_GT(std::stoll((*o)[2]), 0) << sample << ext;
        EXPECT_LE(std::stoll((*o)[2]), std::stoll(s[2])) << sample << ext;
      }
    }
  }
}

// ---- batch conversion ----

TEST_F(Batch, PresetsAreListedAndChosenByNameOrNumber)
{
  const std::string presets = Presets();
  TRun r = RunCli({"presets", "--presets", presets});
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Out, "1\tTiny 160x120\n2\tSmall 176x144\n");
  r = RunCli({"presets"});  // the formats.ini beside the program
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Out.rfind("1\t", 0), 0u) << r.Out;

  const std::string a = MakeFlv("a.flv"), b = MakeFlv("b.flv");
  ASSERT_EQ(RunCli({"convert", "--presets", presets, "--preset", "2", a}).Code, 0);
  ExpectConverted(Dir.File("a_(new).mp4"), 176, 144, 44100, 2);
  ASSERT_EQ(RunCli({"convert", "--presets", presets, "--preset=Tiny 160x120", b}).Code, 0);
  ExpectConverted(Dir.File("b_(new).mp4"));
  ASSERT_EQ(RunCli({"convert", "--presets", presets, b}).Code, 0);  // the first preset, as in the window
  ExpectConverted(Dir.File("b_(new_1).mp4"));

  // Wrong choices stop before anything is written.
  for (const TArgs &args : {TArgs{"--presets", presets, "--preset", "3", a},
                            {"--presets", presets, "--preset", "Nope", a},
                            {"--presets", Dir.File("none.ini"), a},
                            {"--jobs", "0", a},
                            {"--jobs", "x2", a},
                            {"--output-dir", Dir.File("nowhere"), a},
                            {"--bogus", a},
                            {}}) {
    TArgs full = args;
    full.insert(full.begin(), "convert");
    r = RunCli(full);
    EXPECT_EQ(r.Code, 1) << full.back();
    EXPECT_FALSE(r.Err.empty());
  }
  // A missing output folder is told apart from a file in its place.
  EXPECT_NE(RunCli({"convert", "--output-dir", Dir.File("nowhere"), a}).Err.find("does not exist"), std::string::npos);
  EXPECT_NE(RunCli({"convert", "--output-dir", a, b}).Err.find("is not a folder"), std::string::npos);
  EXPECT_FALSE(qvtest::FileExists(Dir.File("a_(new_1).mp4")));
}

// Outputs are created exclusively: a taken name is skipped, and the same input
// twice in parallel gets two outputs, neither written over by the other.
TEST_F(Batch, OutputsAreNamedBesideTheirInputsAndExistingFilesAreSkipped)
{
  const std::string presets = Presets(), a = MakeFlv("clip.a.flv");
  std::filesystem::create_directory(Dir.File("sub"));
  const std::string b = MakeFlv("sub/b.flv"), taken = Dir.File("clip.a_(new).mp4");
  qvtest::WriteFile(taken, "not a video");
  const std::string before = Stamp(taken);

  const TRun r = RunCli({"convert", "--presets", presets, "--jobs", "2", a, b, a});
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(Stamp(taken), before);
  for (const char *out : {"clip.a_(new_1).mp4", "clip.a_(new_2).mp4", "sub/b_(new).mp4"})
    ExpectConverted(Dir.File(out));
  EXPECT_TRUE(Has(r.Err, "done    " + b + " -> " + Dir.File("sub/b_(new).mp4"))) << r.Err;
  EXPECT_TRUE(Has(r.Err, "3 files: 3 done, 0 stopped, 0 failed")) << r.Err;
}

TEST_F(Batch, BadInputsFailAloneAndTheExitCodeIsOne)
{
  const std::string presets = Presets(), a = MakeFlv("a.flv"), c = MakeFlv("c.flv"), missing = Dir.File("missing.flv");
  TRun r = RunCli({"convert", "--presets", presets, "--jobs", "2", a, missing, c});
  EXPECT_EQ(r.Code, 1) << r.Err;
  ExpectConverted(Dir.File("a_(new).mp4"));
  ExpectConverted(Dir.File("c_(new).mp4"));
  EXPECT_TRUE(Has(r.Err, "failed  " + missing + ": " + missing + ": no such file or directory")) << r.Err;
  EXPECT_FALSE(qvtest::FileExists(Dir.File("missing_(new).mp4")));
  EXPECT_TRUE(Has(r.Err, "3 files: 2 done, 0 stopped, 1 failed")) << r.Err;

  // A file cut after its header opens but holds nothing; garbage does not open.
  qvtest::WriteFile(Dir.File("cut.flv"), qvtest::ReadFile(a).substr(0, 13));
  qvtest::WriteFile(Dir.File("garbage.flv"), std::string(4000, '\x5a'));
  r = RunCli({"convert", "--presets", presets, Dir.File("cut.flv"), Dir.File("garbage.flv"), a});
  EXPECT_EQ(r.Code, 1) << r.Err;
  ExpectConverted(Dir.File("a_(new_1).mp4"));
  EXPECT_TRUE(Has(r.Err, "3 files: 1 done, 0 stopped, 2 failed")) << r.Err;
  // A failed file leaves no output behind that could pass for a conversion.
  for (const char *name : {"cut_(new).mp4", "garbage_(new).mp4"}) {
    qvtest::TMediaInfo info;
    EXPECT_FALSE(qvtest::FileExists(Dir.File(name)) && qvtest::ProbeMedia(Dir.File(name), info)) << name;
  }
}

// 80 open files allow two configured tasks at a time: five inputs take several
// rounds, and every end must still land on its own file.
TEST_F(Batch, FewOpenFilesSplitTheBatchWithoutLosingTrack)
{
  TArgs args = {"convert", "--json", "--presets", Presets(), "--jobs", "2"};
  for (const char *name : {"f0.flv", "f1.flv", "missing.flv", "f3.flv", "f4.flv"})
    args.push_back(std::string(name) == "missing.flv" ? Dir.File(name) : MakeFlv(name, 1.0));
  TChildSetup limited;
  limited.FileLimit = 80;
  const TRun r = RunCli(args, {}, limited);
  EXPECT_EQ(r.Code, 1) << r.Err;
  TEvent ends;
  for (const auto &e : Events(r.Out))
    if (e.at("event") == "end") {
      EXPECT_EQ(e.at("input"), args[6 + std::stoi(e.at("file"))]);
      ends[e.at("file")] = e.at("status");
    }
  EXPECT_EQ(ends, (TEvent{{"0", "done"}, {"1", "done"}, {"2", "failed"}, {"3", "done"}, {"4", "done"}}));
  for (const char *out : {"f0_(new).mp4", "f1_(new).mp4", "f3_(new).mp4", "f4_(new).mp4"})
    ExpectConverted(Dir.File(out));
}

TEST_F(Batch, JsonEventsParseAndDescribeTheRun)
{
  // Quotes, a backslash, control characters (tab, 0x01, escape, delete), a
  // byte that is never UTF-8 and a cut-off sequence in a file name.
  const std::string oddName = "we\"ird\\na\tme\x01\x1b\x7f\xff\xe2\x82";
  const std::string presets = Presets(), odd = MakeFlv(oddName + ".flv"), plain = MakeFlv("plain.flv", 2.0);
  const TRun r = RunCli({"convert", "--json", "--report", Dir.File("report.jsonl"), "--presets", presets, "--jobs", "2",
                        odd, Dir.File("missing.flv"), plain});
  EXPECT_EQ(r.Code, 1) << r.Err;
  const auto events = Events(r.Out);
  ASSERT_FALSE(events.empty());
  TEvent ends;  // file number -> status
  int progress = 0, runEnds = 0;
  for (const auto &e : events) {
    const std::string kind = e.at("event"), file = e.count("file") ? e.at("file") : "";
    if (kind == "progress") {
      ++progress;
      EXPECT_GE(std::stoi(e.at("percent")), 0);
      EXPECT_LE(std::stoi(e.at("percent")), 100);
    } else if (kind == "end") {
      EXPECT_TRUE(ends.emplace(file, e.at("status")).second) << "two ends for file " << file;
      if (file == "0") {
        // The name comes back as written; the stray byte and the cut-off
        // sequence each become one U+FFFD.
        EXPECT_EQ(e.at("input"), Dir.File("we\"ird\\na\tme\x01\x1b\x7f\xEF\xBF\xBD\xEF\xBF\xBD.flv"));
        EXPECT_NE(e.at("size"), "null");
      }
      if (file == "1") {
        EXPECT_TRUE(Has(e.at("message"), "no such file or directory"));
      }
    } else if (kind == "run_end") {
      ++runEnds;
      EXPECT_EQ(e.at("done") + e.at("failed") + e.at("exit_code"), "211");
    } else {
      EXPECT_TRUE(kind == "log" || kind == "queued") << kind;
    }
  }
  EXPECT_EQ(runEnds, 1);
  EXPECT_EQ(events.back().at("event"), "run_end");
  EXPECT_GT(progress, 0);
  EXPECT_EQ(ends, (TEvent{{"0", "done"}, {"1", "failed"}, {"2", "done"}}));
  ExpectConverted(Dir.File(oddName + "_(new).mp4"));

  // The operator's record: one line per file, the same name rules.
  TEvent records;  // file number -> input
  for (const auto &e : Events(qvtest::ReadFile(Dir.File("report.jsonl")))) {
    records[e.at("file")] = e.at("input");
    EXPECT_EQ(e.at("status"), ends[e.at("file")]);
    EXPECT_EQ(e.at("status") == "failed", e.at("error") != "null") << e.at("error");
    EXPECT_EQ(e.at("shard"), "0/1");
  }
  EXPECT_EQ(records, (TEvent{{"0", Dir.File("we\"ird\\na\tme\x01\x1b\x7f\xEF\xBF\xBD\xEF\xBF\xBD.flv")},
                             {"1", Dir.File("missing.flv")},
                             {"2", plain}}));
}

TEST_F(Batch, CtrlCStopsTheBatchAndLeavesPlayableOutputs)
{
  // Long enough that the stop lands in the middle of the first conversions.
  const std::string first = MakeFlv("long1.flv", 60.0, 640, 480);
  TArgs args = {"convert", "--json", "--preset", "4", "--jobs", "2", first};
  for (int i = 2; i <= 4; ++i) {
    args.push_back(Dir.File("long" + std::to_string(i) + ".flv"));
    std::filesystem::copy_file(first, args.back());
  }
  const TRun r = RunCli(args, "\"event\":\"progress\"");
  EXPECT_EQ(r.Code, 130) << r.Err;
  int stopped = 0;
  for (const auto &e : Events(r.Out))
    if (e.at("event") == "end") {
      EXPECT_EQ(e.at("status"), "stopped") << e.at("input");
      ++stopped;
    }
  EXPECT_EQ(stopped, 4);
  EXPECT_TRUE(Has(r.Err, "4 files: 0 done, 4 stopped, 0 failed")) << r.Err;
  // Every output left on disk plays and is really cut short; the last never started.
  int playable = 0;
  for (int i = 1; i <= 3; ++i) {
    const std::string out = Dir.File("long" + std::to_string(i) + "_(new).mp4");
    if (!qvtest::FileExists(out)) continue;
    qvtest::TMediaInfo info;
    ASSERT_TRUE(qvtest::ProbeMedia(out, info)) << out;
    ASSERT_NE(info.Find(AVMEDIA_TYPE_VIDEO), nullptr) << out;
    EXPECT_GT(info.Find(AVMEDIA_TYPE_VIDEO)->Packets, 0) << out;
    EXPECT_LT(info.Find(AVMEDIA_TYPE_VIDEO)->Duration, 59.0) << out;
    ++playable;
  }
  EXPECT_GE(playable, 1);
  EXPECT_FALSE(qvtest::FileExists(Dir.File("long4_(new).mp4")));
}

TEST_F(Batch, OutputFolderNeverOverwritesWithoutYesNorAnInputWithIt)
{
  const std::string presets = Presets();
  for (const char *sub : {"in", "in2", "out"}) std::filesystem::create_directory(Dir.File(sub));
  const std::string a = MakeFlv("in/a.flv"), b = MakeFlv("in/b.flv"), b2 = MakeFlv("in2/b.flv");
  const std::string existing = Dir.File("out/a.mp4");
  qvtest::WriteFile(existing, "precious");
  const std::string before = Stamp(existing);

  TRun r = RunCli({"convert", "--presets", presets, "--output-dir", Dir.File("out"), a, b, b2});
  EXPECT_EQ(r.Code, 1) << r.Err;
  EXPECT_EQ(Stamp(existing), before);
  EXPECT_TRUE(Has(r.Err, "File '" + Dir.File("out") + "/a.mp4' already exists. Use -y to overwrite it.")) << r.Err;
  ExpectConverted(Dir.File("out/b.mp4"));
  // The second b.flv would write over the first one's output: it fails instead.
  EXPECT_TRUE(Has(r.Err, "clashes with the output of another file")) << r.Err;
  EXPECT_TRUE(Has(r.Err, "3 files: 1 done, 0 stopped, 2 failed")) << r.Err;

  // Regression: -y replaces the existing file, but never an input of the batch.
  const std::string selfInput = Dir.File("out/b.mp4"), selfBefore = Stamp(selfInput);
  r = RunCli({"convert", "-y", "--presets", presets, "--output-dir", Dir.File("out"), a, selfInput});
  EXPECT_EQ(r.Code, 1) << r.Err;
  ExpectConverted(existing);
  EXPECT_EQ(Stamp(selfInput), selfBefore);
  EXPECT_TRUE(Has(r.Err, "is an input of this batch")) << r.Err;
}

}  // namespace
