// End-to-end runs: stream copy, limits, stops and failures; re-encoding with
// the window's FLV -> MP4 settings on every real sample, crop/pad/rescale,
// video sync counters and progress reports.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "EngineRun.h"
#include "FFmpegThread.h"

namespace {

using qvtest::ConvertTest;
using qvtest::TMediaInfo;
using qvtest::TOptions;
using qvtest::TProgressCall;
using qvtest::TStreamInfo;
using qvtest::WindowOptions;
using qvtest::kCopy;
using qvtest::operator+;

// ---- stream copy ----

TEST_F(ConvertTest, StreamCopyOfEverySampleKeepsCodecsPacketsAndDuration)
{
  for (const std::string &sample : qvtest::AllSamples()) {
    const TMediaInfo in = Probe(sample);
    int64_t readable = 0;
    bool mp4Takes = !in.Streams.empty();
    for (const auto &s : in.Streams) {
      readable += s.Packets;
      mp4Takes = mp4Takes && (s.Codec == "h264" || s.Codec == "aac" || s.Codec == "mp3" || s.Codec == "mpeg4");
    }
    if (readable == 0) continue;  // the broken sample has its own test
    for (const std::string name : {"copy.flv", "copy.mp4"}) {
      if (name == "copy.mp4" && !mp4Takes) continue;
      SCOPED_TRACE(sample + " -> " + name);
      const TMediaInfo got = Convert(sample, Dir.File(name), kCopy);
      ASSERT_EQ(got.Streams.size(), in.Streams.size());
      for (const auto &src : in.Streams) {
        const TStreamInfo *dst = got.Find(src.Type);
        ASSERT_NE(dst, nullptr);
        EXPECT_EQ(dst->Codec, src.Codec);
        EXPECT_EQ(dst->Packets, src.Packets - src.PacketsBeforeFirstKey);
        const double frame = src.Type == AVMEDIA_TYPE_VIDEO && src.FrameRate.num > 0 ? 1 / av_q2d(src.FrameRate) : 0.1;
        EXPECT_NEAR(dst->Duration, src.Duration, frame + 0.001);
      }
    }
  }
}

TEST_F(ConvertTest, FailuresAreReportedAndLeaveNoOutput)
{
  const std::string out = Dir.File("broken.mp4");
  const std::string empty = Dir.File("empty.flv");  // a header and no tag
  qvtest::WriteFile(empty, std::string("FLV\x01\x05\0\0\0\x09\0\0\0\0", 13));
  TCustomFFmpeg engine;
  EXPECT_FALSE(engine.OpenInputFile(empty));
  EXPECT_EQ(engine.LastOptionError, empty + ": no audio or video data could be read");
  EXPECT_FALSE(qvtest::FileExists(out));

  const std::string in = Generated("in.flv", 2);
  const std::pair<TOptions, std::string> cases[] = {
      {kCopy + TOptions{{"map", "0.5"}, {"map", "0.0"}}, "Could not find input stream #0.5"},
      {kCopy + TOptions{{"map", "0.0"}}, "Number of stream maps must match number of output streams"},
      {kCopy + TOptions{{"vol", "128"}}, "-acodec copy and -vol are incompatible (frames are not decoded)"},
  };
  for (const auto &[options, message] : cases) {
    TCustomFFmpeg e;
    Run(e, in, Dir.File("map.flv"), options);
    EXPECT_TRUE(e.ExceptionRaised) << message;
    EXPECT_EQ(e.LastErrorMessage, message);
  }
}

TEST_F(ConvertTest, TimeFrameAndSizeLimitsAndStartPosition)
{
  const std::string in = Generated("in.flv", 6);
  const TStreamInfo *v = nullptr;
  const TMediaInfo t2 = Convert(in, Dir.File("t2.flv"), kCopy + TOptions{{"t", "2"}});
  ASSERT_TRUE((v = t2.Find(AVMEDIA_TYPE_VIDEO)));
  EXPECT_NEAR(v->Duration, 2.1, 0.2);
  const TMediaInfo v10 = Convert(in, Dir.File("v10.flv"), {{"vcodec", "copy"}, {"an", ""}, {"vframes", "10"}});
  ASSERT_TRUE((v = v10.Find(AVMEDIA_TYPE_VIDEO)));
  EXPECT_EQ(v->Packets, 10);
  // About three of the six seconds remain (the copy starts at a key frame at or before 3 s).
  const TMediaInfo ss = Convert(in, Dir.File("ss.flv"), TOptions{{"ss", "3"}} + kCopy);
  ASSERT_TRUE((v = ss.Find(AVMEDIA_TYPE_VIDEO)));
  EXPECT_NEAR(v->Duration, 3.5, 1.0);
  // Stops at the first check past the limit: at most one packet and the trailer beyond it.
  Convert(in, Dir.File("fs.flv"), kCopy + TOptions{{"fs", "100000"}});
  EXPECT_GT(qvtest::FileSize(Dir.File("fs.flv")), 100000);
  EXPECT_LT(qvtest::FileSize(Dir.File("fs.flv")), 140000);
}

TEST_F(ConvertTest, StopMidRunLeavesAShorterPlayableFile)
{
  const std::string in = Generated("in.flv", 6), out = Dir.File("stopped.mp4");
  TCustomFFmpeg engine;
  Open(engine, in, out, kCopy);
  ASSERT_FALSE(HasFatalFailure());
  const TMediaInfo got = RunAndStop(engine, out, 500);
  const TStreamInfo *v = got.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(v, nullptr);
  EXPECT_GT(v->Packets, 0);
  EXPECT_LT(v->Duration, Probe(in).Find(AVMEDIA_TYPE_VIDEO)->Duration - 0.5);
}

// The worker's priority is set relative to the thread that starts it: a
// "lower" worker of a thread at nice 15 must not run at nice 10. The run's
// stage threads (video and audio paths) run at the worker's priority.
TEST_F(ConvertTest, WorkerPrioritiesAreRelativeToTheStartingThread)
{
  const std::string in = Generated("in.flv", 1);
  struct TSeen {
    int Base = -100, Nice = -100, Policy = -1, StageNice = -100, StagePolicy = -1;
    pid_t Worker = 0, Stage = 0;
  };
  const auto run = [&](int ABaseAtLeast, TConvertPriority APriority) {
    TSeen seen;
    std::mutex lock;
    std::thread starter([&] {
      const auto tid = static_cast<id_t>(gettid());
      seen.Base = std::max(getpriority(PRIO_PROCESS, tid), ABaseAtLeast);
      setpriority(PRIO_PROCESS, tid, seen.Base);  // only ever raised: allowed without privileges
      TCustomFFmpeg engine;
      Open(engine, in, Dir.File("prio.mp4"), WindowOptions());
      engine.SetThreadBudget(2);  // the video path gets a thread of its own
      engine.Verbose = 3;         // it tells each dropped picture
      engine.ProgressInterval = 0;
      engine.OnProgress = [&](TCustomFFmpeg *, int, int, int, float, float, int64_t, int) {
        std::lock_guard<std::mutex> guard(lock);
        seen.Worker = gettid();
        seen.Nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
        seen.Policy = sched_getscheduler(0);
      };
      engine.OnLog = [&](TCustomFFmpeg *, int, const std::string &AMsg) {
        std::lock_guard<std::mutex> guard(lock);
        if (AMsg != "*** drop!") return;
        seen.Stage = gettid();
        seen.StageNice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
        seen.StagePolicy = sched_getscheduler(0);
      };
      if (TFFmpegThread *thread = engine.Start(true, APriority)) thread->Resume();
      engine.WaitForThread();
    });
    starter.join();
    EXPECT_NE(seen.Stage, seen.Worker);
    EXPECT_EQ(seen.StageNice, seen.Nice);
    EXPECT_EQ(seen.StagePolicy, seen.Policy);
    return seen;
  };
  for (const int base : {0, 15}) {
    SCOPED_TRACE(base);
    const TSeen normal = run(base, tpNormal), lower = run(base, tpLower), lowest = run(base, tpLowest);
    EXPECT_EQ(normal.Nice, normal.Base);
    EXPECT_EQ(normal.Policy, SCHED_OTHER);
    EXPECT_EQ(lower.Nice, std::min(lower.Base + 10, 19));
    EXPECT_EQ(lowest.Nice, std::min(lowest.Base + 19, 19));
  }
  EXPECT_EQ(run(0, tpIdle).Policy, SCHED_IDLE);
}

TEST_F(ConvertTest, TwoEnginesRunSideBySide)
{
  const std::string in = Generated("in.flv", 3);
  TCustomFFmpeg a, b;
  Open(a, in, Dir.File("a.flv"), kCopy);
  Open(b, in, Dir.File("b.mp4"), kCopy);
  TFFmpegThread *ta = a.Start(true), *tb = b.Start(true);
  ASSERT_TRUE(ta && tb);
  ta->Resume();
  tb->Resume();
  a.WaitForThread();
  b.WaitForThread();
  EXPECT_TRUE(a.Finished && b.Finished) << a.LastErrorMessage << b.LastErrorMessage;
  EXPECT_EQ(Probe(Dir.File("a.flv")).Find(AVMEDIA_TYPE_VIDEO)->Packets,
            Probe(Dir.File("b.mp4")).Find(AVMEDIA_TYPE_VIDEO)->Packets);
}

// ---- re-encoding ----

// Every real sample with readable audio or video: odd sizes (320x233, 470x342,
// 8x8), audio-only and video-only files, and Speex without a channel layout.
TEST_F(ConvertTest, WindowConversionOfEveryRealSample)
{
  int converted = 0;
  for (const std::string &in : qvtest::AllSamples()) {
    if (in.find("h264_aac.flv") != std::string::npos) continue;  // holds no readable packet
    SCOPED_TRACE(in);
    TCustomFFmpeg engine;
    const TMediaInfo inInfo = Probe(in);
    const TMediaInfo out = Convert(in, Dir.File("out" + std::to_string(converted++) + ".mp4"), WindowOptions(), {},
                                   &engine);
    const TStreamInfo *inA = inInfo.Find(AVMEDIA_TYPE_AUDIO), *v = out.Find(AVMEDIA_TYPE_VIDEO),
                      *a = out.Find(AVMEDIA_TYPE_AUDIO);
    ASSERT_EQ(v != nullptr, inInfo.Find(AVMEDIA_TYPE_VIDEO) != nullptr);
    ASSERT_EQ(a != nullptr, inA != nullptr);
    if (v) {
      EXPECT_EQ(v->Codec, "mpeg4");
      EXPECT_EQ(v->Width * 1000 + v->Height, 320240);
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
      EXPECT_NEAR(a->Duration, inA->Duration, 0.05);  // the last partial frame is encoded too
    }
    EXPECT_GT(engine.VideoSize + engine.AudioSize, 0);
  }
  EXPECT_EQ(converted, 8);
}

TEST_F(ConvertTest, CropPadAndRescaleGiveTheEncoderItsSizeAndThePadColour)
{
  const std::string in = Generated("in.flv", 1, {25, 1}, false);
  struct TCase {
    TOptions Extra;
    int Width, Height, PadTop, PadBottom;
  };
  const TCase cases[] = {
      {{{"padtop", "32"}, {"padbottom", "32"}}, 320, 304, 32, 32},  // pad only, no rescale
      {{{"croptop", "32"}, {"cropbottom", "32"}, {"padtop", "32"}, {"padbottom", "32"}}, 320, 240, 32, 32},
      {{{"cropleft", "16"}, {"cropright", "16"}, {"padtop", "16"}, {"padbottom", "48"}}, 176, 208, 16, 48},
  };
  for (const TCase &c : cases) {
    SCOPED_TRACE(c.Width * 1000 + c.Height);
    // The frame size names the picture; the pads come on top of it.
    const TOptions opts = TOptions{{"vcodec", "mpeg4"}, {"r", "15"}, {"b", "2000000"}} + c.Extra +
                          TOptions{{"s", std::to_string(c.Width) + "x" + std::to_string(c.Height - c.PadTop - c.PadBottom)}};
    const std::string out = Dir.File("pad" + std::to_string(&c - cases) + ".mp4");
    Convert(in, out, opts, [](TCustomFFmpeg &e) {
      e.PadColor[0] = 180;  // Y, U, V
      e.PadColor[1] = 60;
      e.PadColor[2] = 200;
    });
    const int pictures = qvtest::DecodeVideo(out, [&](const AVFrame &f) {
      ASSERT_EQ(f.width * 1000 + f.height, c.Width * 1000 + c.Height);
      // Rows well inside the bands hold the pad colour.
      for (int y : {c.PadTop / 2, c.Height - c.PadBottom / 2 - 1}) {
        EXPECT_NEAR(f.data[0][y * f.linesize[0] + c.Width / 2], 180, 6) << "row " << y;
        EXPECT_NEAR(f.data[1][(y / 2) * f.linesize[1] + c.Width / 4], 60, 6) << "row " << y;
        EXPECT_NEAR(f.data[2][(y / 2) * f.linesize[2] + c.Width / 4], 200, 6) << "row " << y;
      }
    });
    EXPECT_NEAR(pictures, 15, 1);
  }
}

TEST_F(ConvertTest, SyncCountersAndProgressRiseToTheTotal)
{
  const std::string in = Generated("in.flv", 2, {30, 1}), out = Dir.File("p.mp4");
  TCustomFFmpeg engine;
  std::vector<TProgressCall> calls;
  const TMediaInfo info = Convert(in, out, WindowOptions(), [&](TCustomFFmpeg &e) {
    e.ProgressInterval = 0;  // a report after every packet
    e.OnProgress = [&](TCustomFFmpeg *, int frame, int fps, int duration, float q, float rate, int64_t size,
                       int total) { calls.push_back({frame, fps, duration, q, rate, size, total}); };
  }, &engine);
  // 30 fps in, 15 out: every other picture is dropped, none duplicated, and the streams stay in step.
  const TMediaInfo inInfo = Probe(in);
  const TStreamInfo *v = info.Find(AVMEDIA_TYPE_VIDEO), *a = info.Find(AVMEDIA_TYPE_AUDIO);
  ASSERT_TRUE(v && a);
  EXPECT_NEAR(engine.FramesDrop, 30, 3);
  EXPECT_EQ(engine.FramesDup, 0);
  EXPECT_NEAR(static_cast<double>(v->Packets), 30, 2);
  EXPECT_NEAR(v->Duration, inInfo.Find(AVMEDIA_TYPE_VIDEO)->Duration, 1.0 / 15 + 0.01);
  EXPECT_NEAR(a->Duration, inInfo.Find(AVMEDIA_TYPE_AUDIO)->Duration, 0.03);  // the priming frame at most

  ASSERT_GE(calls.size(), 10u);
  // The duration is the earliest stream end, so it may step back once a later
  // stream writes its first packet; it ends at its largest value.
  int longest = 0;
  for (std::size_t i = 1; i < calls.size(); ++i) {
    EXPECT_GE(calls[i].Frame, calls[i - 1].Frame);
    EXPECT_GE(calls[i].Size, calls[i - 1].Size);
    longest = std::max(longest, calls[i].Duration);
  }
  const TProgressCall &last = calls.back();
  EXPECT_EQ(last.Duration, longest);
  EXPECT_NEAR(last.Duration, 2000, 70);
  EXPECT_NEAR(last.Frame, 30, 1);  // the sync may lag by up to 1.1 frames
  EXPECT_EQ(last.Size, qvtest::FileSize(out));
  EXPECT_GT(last.Quality, 1.0f);
  EXPECT_NEAR(last.BitRate, last.Size * 8.0 / (last.Duration / 1000.0) / 1000.0, 1.0);
  EXPECT_EQ(last.Total, engine.TotalDuration);
  // With OnProgress set no progress text is logged, only the summary.
  for (const std::string &l : Lines) EXPECT_EQ(l.find("frame="), std::string::npos) << l;
  EXPECT_EQ(Lines.back().rfind("video:", 0), 0u) << Lines.back();
}

TEST_F(ConvertTest, ProgressTextAudioOnlyValuesAndVideoStatistics)
{
  const std::string in = Generated("in.flv", 2), out = Dir.File("t.mp4");
  Convert(in, out, WindowOptions());
  std::string report;
  for (const std::string &l : Lines)
    if (l.rfind("frame=", 0) == 0) report = l;
  int frame = 0, fps = 0;
  float q = 0, kb = 0, t = 0, rate = 0;
  char last = 0;
  ASSERT_EQ(std::sscanf(report.c_str(), "frame=%5d fps=%3d q=%f %c size=%fkB time=%f bitrate=%fkbits/s", &frame, &fps,
                        &q, &last, &kb, &t, &rate),
            7)
      << report;
  EXPECT_NEAR(frame, 30, 1);
  EXPECT_EQ(last, 'L');
  EXPECT_NEAR(t, 2.0, 0.07);
  EXPECT_NEAR(kb, qvtest::FileSize(out) / 1024.0, 1.0);
  const std::string &summary = Lines.back();
  EXPECT_EQ(summary.rfind("video:", 0), 0u);
  EXPECT_NE(summary.find("kB audio:"), std::string::npos);
  EXPECT_NE(summary.find("muxing overhead "), std::string::npos);
  EXPECT_EQ(summary.substr(summary.size() - 3), "%\r\n");
  // Audio only: no frame, rate or quality to report.
  std::vector<TProgressCall> calls;
  Convert(in, Dir.File("a.mp4"), WindowOptions({{"vn", ""}}), [&](TCustomFFmpeg &e) {
    e.OnProgress = [&](TCustomFFmpeg *, int frame, int fps, int duration, float q, float rate, int64_t size,
                       int total) { calls.push_back({frame, fps, duration, q, rate, size, total}); };
  });
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back().Frame, -1);
  EXPECT_EQ(calls.back().Fps, -1);
  EXPECT_EQ(calls.back().Quality, -1.0f);
  EXPECT_NEAR(calls.back().Duration, 2000, 60);
}

// The statistics file has one line per input picture, duplicates counted in
// its frame numbers; a file that cannot be created ends the job by name.
TEST_F(ConvertTest, VideoStatisticsLinePerPictureAndUnwritableFile)
{
  // 10 pictures a second into 15: every other picture is sent twice.
  const std::string in = Generated("ten.flv", 2, {10, 1}, false), stats = Dir.File("vstats.log");
  const TMediaInfo info = Convert(in, Dir.File("v.mp4"), WindowOptions({{"vstats_file", stats}}));
  ASSERT_NE(info.Find(AVMEDIA_TYPE_VIDEO), nullptr);
  EXPECT_NEAR(static_cast<double>(info.Find(AVMEDIA_TYPE_VIDEO)->Packets), 30, 1);
  const std::string text = qvtest::ReadFile(stats);
  std::vector<int> frames;
  for (std::size_t pos = 0; (pos = text.find("frame= ", pos)) != std::string::npos; ++pos)
    frames.push_back(std::atoi(text.c_str() + pos + 7));
  ASSERT_EQ(frames.size(), 20u) << text;
  EXPECT_EQ(frames.front(), 1);
  EXPECT_NEAR(frames.back(), 30, 1);  // the frame number counts what was sent
  EXPECT_NE(text.find("type= I\n"), std::string::npos);
  EXPECT_NE(text.find("type= P\n"), std::string::npos);

  TCustomFFmpeg engine;
  const std::string unwritable = Dir.File("no/such/folder/vstats.log");
  Run(engine, in, Dir.File("w.mp4"), WindowOptions({{"vstats_file", unwritable}}));
  EXPECT_TRUE(engine.ExceptionRaised);
  EXPECT_EQ(engine.LastErrorMessage, "fopen fail: " + unwritable);
}

// Each engine keeps its own quantiser histogram; a job with no encoded
// bytes reports a muxing overhead of 0.
TEST_F(ConvertTest, SummaryAndHistogramBelongToTheirEngine)
{
  const std::string in = Generated("in.flv", 1);
  // Only the last report: the histogram then holds one count.
  const auto histogram = [&](const std::string &AOut) {
    Lines.clear();
    TCustomFFmpeg engine;
    Convert(in, Dir.File(AOut), WindowOptions({{"qphist", ""}}), [](TCustomFFmpeg &e) { e.ProgressInterval = INT64_MAX; },
            &engine);
    for (const std::string &l : Lines)
      if (l.rfind("frame=", 0) == 0) {
        const std::size_t from = l.find('L') + 1, to = l.find("size=");
        return from != std::string::npos && to != std::string::npos && to > from ? l.substr(from, to - from) : l;
      }
    return std::string("no report");
  };
  const std::string first = histogram("h1.mp4"), second = histogram("h2.mp4");
  ASSERT_EQ(first.size(), 32u) << first;
  EXPECT_EQ(std::count(first.begin(), first.end(), '1'), 1) << first;
  EXPECT_EQ(std::count(first.begin(), first.end(), '0'), 31) << first;
  EXPECT_EQ(second, first);

  // Nothing written: every packet lies before the start position, and the
  // job is stopped at its first report. MP3 has no global header.
  qvtest::TGenOptions gen;
  gen.VideoCodec = "";
  gen.AudioCodec = "libmp3lame";
  qvtest::MakeMedia(Dir.File("mp3.flv"), gen);
  TCustomFFmpeg engine;
  Run(engine, Dir.File("mp3.flv"), Dir.File("empty.mp3"), {{"acodec", "copy"}, {"ss", "100"}}, [&](TCustomFFmpeg &e) {
    e.ProgressInterval = 0;
    e.OnProgress = [](TCustomFFmpeg *AEngine, int, int, int, float, float, int64_t, int) { AEngine->Stop(); };
    Lines.clear();
  });
  EXPECT_FALSE(engine.ExceptionRaised) << engine.LastErrorMessage;
  EXPECT_EQ(engine.AudioSize + engine.ExtraSize, 0);
  ASSERT_FALSE(Lines.empty());
  EXPECT_EQ(Lines.back(), "video:0kB audio:0kB global headers:0kB muxing overhead 0.00%\r\n");
}

// Input picture types are kept when a motion-estimation threshold is asked
// for (5.1 has no such setting: said once), so the key frames follow the input's.
TEST_F(ConvertTest, MeThresholdKeepsTheInputsKeyFrames)
{
  const std::string in = Generated("in.flv", 3, {25, 1}, false);
  const int inputKeys = static_cast<int>(Probe(in).Find(AVMEDIA_TYPE_VIDEO)->KeyPackets);
  ASSERT_GE(inputKeys, 6);
  const TOptions opts = {{"vcodec", "mpeg4"}, {"g", "300"}};
  EXPECT_EQ(Convert(in, Dir.File("plain.mp4"), opts).Find(AVMEDIA_TYPE_VIDEO)->KeyPackets, 1);
  Lines.clear();
  const TMediaInfo kept = Convert(in, Dir.File("kept.mp4"), opts + TOptions{{"me_threshold", "4"}, {"me_threshold", "8"}});
  EXPECT_EQ(kept.Find(AVMEDIA_TYPE_VIDEO)->KeyPackets, inputKeys);
  EXPECT_EQ(std::count(Lines.begin(), Lines.end(),
                       "Option me_threshold has no counterpart in this release; only the input's picture types are kept"),
            1);
}

// Audio timestamps that run 2 % fast: with "async" above 1 the resampler
// stretches the audio to follow them; with 0 or 1 (a drift below the
// threshold) the sample count stays that of the input.
TEST_F(ConvertTest, AudioStretchFollowsDriftingTimestamps)
{
  qvtest::TGenOptions gen;
  gen.VideoCodec = "";
  gen.Seconds = 4;
  const std::string in = Dir.File("tone.flv");
  qvtest::MakeMedia(in, gen);
  const auto samples = [&](const std::string &AOut, const char *AAsync) {
    TCustomFFmpeg engine;
    engine.Prepare();
    engine.OnLog = [this](TCustomFFmpeg *, int, const std::string &msg) { Lines.push_back(msg); };
    engine.SetOption("itsscale", "0:1.02");
    EXPECT_TRUE(engine.OpenInputFile(in)) << engine.LastOptionError;
    for (const auto &[name, value] : TOptions{{"acodec", "libfaac"}, {"async", AAsync}})
      engine.SetOption(name, value);
    EXPECT_TRUE(engine.OpenOutputFile(Dir.File(AOut))) << engine.LastOptionError;
    engine.Verbose = 3;  // the engine tells each correction (the libraries stay at their level)
    engine.Start(false);
    EXPECT_FALSE(engine.ExceptionRaised) << engine.LastErrorMessage;
    const TMediaInfo info = Probe(Dir.File(AOut));
    const TStreamInfo *a = info.Find(AVMEDIA_TYPE_AUDIO);
    return a ? a->Packets * 1024 : 0;  // AAC frames of 1024 samples
  };
  const int64_t plain = samples("plain.mp4", "0"), cutPad = samples("cutpad.mp4", "1");
  Lines.clear();
  const int64_t stretched = samples("stretched.mp4", "2000");
  EXPECT_GE(plain, 4 * 44100);
  EXPECT_NEAR(static_cast<double>(cutPad), static_cast<double>(plain), 1024);
  EXPECT_NEAR(static_cast<double>(stretched - plain), 0.02 * 4 * 44100, 1100);  // 80 ms more
  EXPECT_NE(std::find_if(Lines.begin(), Lines.end(),
                         [](const std::string &l) { return l.rfind("compensating audio timestamp drift:", 0) == 0; }),
            Lines.end());
}

// Pass 1 writes the statistics log "ffmpeg2pass-0.log" (in the current
// folder by default); pass 2 reads it and spends its bits differently.
TEST_F(ConvertTest, TwoPassWritesThenReadsItsLog)
{
  const std::string in = Generated("in.flv", 3, {25, 1}, false);
  const TOptions opts = {{"vcodec", "mpeg4"}, {"b", "200000"}};
  const auto old = std::filesystem::current_path();
  std::filesystem::current_path(Dir.Path());
  Convert(in, Dir.File("one.mp4"), opts);
  Convert(in, Dir.File("pass1.mp4"), opts + TOptions{{"pass", "1"}});
  const std::string log = qvtest::ReadFile(Dir.File("ffmpeg2pass-0.log"));
  const TMediaInfo two = Convert(in, Dir.File("two.mp4"), opts + TOptions{{"pass", "2"}});
  // A missing log ends pass 2 by name.
  TCustomFFmpeg engine;
  Run(engine, in, Dir.File("none.mp4"), opts + TOptions{{"pass", "2"}, {"passlogfile", "missing"}});
  std::filesystem::current_path(old);
  EXPECT_NE(log.find("in:0 out:0 type:1"), std::string::npos) << log.substr(0, 200);
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 75);  // one line per picture
  ASSERT_NE(two.Find(AVMEDIA_TYPE_VIDEO), nullptr);
  EXPECT_EQ(two.Find(AVMEDIA_TYPE_VIDEO)->Packets, 75);
  EXPECT_NE(qvtest::ReadFile(Dir.File("two.mp4")), qvtest::ReadFile(Dir.File("one.mp4")));
  EXPECT_TRUE(engine.ExceptionRaised);
  EXPECT_EQ(engine.LastErrorMessage, "creat open fail: missing-0.log");
}

// Periodic reports keep at least the progress interval between them.
TEST_F(ConvertTest, ProgressComesAtMostOncePerInterval)
{
  const std::string in = Generated("in.flv", 2);
  std::vector<std::chrono::steady_clock::time_point> calls;
  TCustomFFmpeg engine;
  engine.Prepare();
  engine.SetOption("re", "");  // the input is read at its own rate: the job lasts about two seconds
  ASSERT_TRUE(engine.OpenInputFile(in)) << engine.LastOptionError;
  for (const auto &[name, value] : WindowOptions()) engine.SetOption(name, value);
  ASSERT_TRUE(engine.OpenOutputFile(Dir.File("p.mp4"))) << engine.LastOptionError;
  engine.ProgressInterval = 200000;
  engine.OnProgress = [&](TCustomFFmpeg *, int, int, int, float, float, int64_t, int) {
    calls.push_back(std::chrono::steady_clock::now());
  };
  engine.Start(false);
  EXPECT_TRUE(engine.Finished) << engine.LastErrorMessage;
  ASSERT_GE(calls.size(), 6u);
  for (std::size_t i = 1; i + 1 < calls.size(); ++i)  // the last report comes when the job ends
    EXPECT_GE(calls[i] - calls[i - 1], std::chrono::milliseconds(199)) << "report " << i;
}

}  // namespace
