// Broken, cut, damaged and odd inputs, faults around a run and random stops,
// through the engine in-process and quenvaro-cli as a child process. Every
// run ends as a valid MP4 (mpeg4/aac) or a clean failure with a message:
// never a signal, never a hang, never a zero-byte output.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include "FFmpeg.h"
#include "FFmpegThread.h"
#include "TestEnv.h"
#include "TestMedia.h"

namespace {

using TOptions = std::vector<std::pair<std::string, std::string>>;
const TOptions kWindow = {{"vcodec", "mpeg4"}, {"acodec", "libfaac"}, {"s", "320x240"}, {"r", "15"},
                          {"b", "360000"},     {"ab", "96000"},       {"ar", "44100"},   {"ac", "2"}};

// ---- FLV tags ----

struct TFlvTag {
  uint8_t Type = 0;   // 8 audio, 9 video, 18 script
  uint32_t Time = 0;  // ms
  std::string Body;   // first byte the A/V header
  std::size_t Offset = 0;  // of the body in the parsed data
};

uint32_t Be(const std::string &AData, std::size_t APos, int ABytes)
{
  uint32_t v = 0;
  for (int i = 0; i < ABytes; ++i) v = (v << 8) | static_cast<uint8_t>(AData[APos + i]);
  return v;
}
void PutBe(std::string &AOut, uint32_t AValue, int ABytes)
{
  for (int i = ABytes - 1; i >= 0; --i) AOut += static_cast<char>((AValue >> (8 * i)) & 0xff);
}

std::vector<TFlvTag> ParseFlv(const std::string &AData)
{
  std::vector<TFlvTag> tags;
  for (std::size_t pos = Be(AData, 5, 4) + 4; pos + 11 <= AData.size();) {
    const uint32_t size = Be(AData, pos + 1, 3);
    if (pos + 11 + size > AData.size()) break;  // a cut last tag
    tags.push_back({static_cast<uint8_t>(AData[pos]),
                    Be(AData, pos + 4, 3) | (static_cast<uint32_t>(static_cast<uint8_t>(AData[pos + 7])) << 24),
                    AData.substr(pos + 11, size), pos + 11});
    pos += 11 + size + 4;
  }
  return tags;
}

std::string BuildFlv(const std::string &AHeader, const std::vector<TFlvTag> &ATags)
{
  std::string out = AHeader.substr(0, 9);
  PutBe(out, 0, 4);
  for (const TFlvTag &t : ATags) {
    const std::size_t start = out.size();
    out += static_cast<char>(t.Type);
    PutBe(out, static_cast<uint32_t>(t.Body.size()), 3);
    PutBe(out, t.Time & 0xffffff, 3);
    out += static_cast<char>(t.Time >> 24);
    PutBe(out, 0, 3);  // stream id
    out += t.Body;
    PutBe(out, static_cast<uint32_t>(out.size() - start), 4);
  }
  return out;
}

// Flips ACount random bits inside audio and video payloads (never in the tag
// headers, so the damage reaches the decoders rather than the demuxer alone).
std::string FlipPayloadBits(const std::string &AData, int ACount, unsigned ASeed)
{
  std::vector<TFlvTag> tags = ParseFlv(AData);
  std::erase_if(tags, [](const TFlvTag &t) { return (t.Type != 8 && t.Type != 9) || t.Body.size() <= 2; });
  std::string out = AData;
  std::mt19937 rng(ASeed);
  for (int i = 0; i < ACount; ++i) {
    const TFlvTag &t = tags[rng() % tags.size()];
    const std::size_t at = t.Offset + 1 + rng() % (t.Body.size() - 1);
    out[at] = static_cast<char>(out[at] ^ (1 << (rng() % 8)));
  }
  return out;
}

// Rewrites every Sorenson picture header (16-bit custom size) to claim AWidth x AHeight.
std::string ClaimPictureSize(const std::string &AData, uint32_t AWidth, uint32_t AHeight)
{
  std::vector<TFlvTag> tags = ParseFlv(AData);
  const auto setBits = [](std::string &AData, std::size_t ABit, uint32_t AValue) {
    for (int i = 0; i < 16; ++i, ++ABit) {
      const auto mask = static_cast<char>(0x80 >> (ABit % 8));
      AData[ABit / 8] = static_cast<char>((AValue >> (15 - i)) & 1 ? AData[ABit / 8] | mask : AData[ABit / 8] & ~mask);
    }
  };
  for (TFlvTag &t : tags) {
    if (t.Type != 9 || t.Body.size() < 12) continue;
    // After the A/V byte: start code 17 bits, version 5, temporal reference 8, size format 3 (= 1).
    EXPECT_EQ((Be(t.Body, 4, 2) >> 7) & 7, 1u) << "unexpected picture header";
    setBits(t.Body, 8 + 33, AWidth);
    setBits(t.Body, 8 + 49, AHeight);
  }
  return BuildFlv(AData, tags);
}

// Timestamps that step back a little, leap past the discontinuity threshold and fall back to the start.
std::string JumpTimestamps(const std::string &AData)
{
  std::vector<TFlvTag> tags = ParseFlv(AData);
  const int64_t shifts[] = {0, -700, 0, 4000, 45000, -300, 0, -100000};
  std::size_t i = 0;
  for (TFlvTag &t : tags)
    if (t.Type == 8 || t.Type == 9)
      t.Time = static_cast<uint32_t>(std::max<int64_t>(0, int64_t(t.Time) + shifts[(i++ / 5) % std::size(shifts)]));
  return BuildFlv(AData, tags);
}

// A header announcing neither audio nor video, then only onMetaData {duration: 0}.
std::string FlvWithoutStreams()
{
  static const char kBody[] = "\x02\x00\x0aonMetaData\x08\x00\x00\x00\x01\x00\x08" "duration\x00";
  TFlvTag meta{18, 0, std::string(kBody, sizeof kBody - 1) + std::string(8, '\0') + std::string("\0\0\x09", 3)};
  return BuildFlv(std::string("FLV\x01\x00\x00\x00\x00\x09", 9), {meta});
}

// ---- the corpus ----

enum class TExpect { Fails, Converts, Either };  // Either: damaged media, an MP4 or a clean failure
struct TCase {
  std::string Name, Path;
  TExpect Expect = TExpect::Either;
  bool HasVideo = true, HasAudio = true;  // what a successful output holds at most
};

qvtest::TGenOptions Flv1Mp3(double ASeconds)
{
  qvtest::TGenOptions gen;
  gen.VideoCodec = "flv";
  gen.AudioCodec = "libmp3lame";
  gen.Seconds = ASeconds;
  gen.FrameRate = {15, 1};
  return gen;
}

std::vector<TCase> MakeCorpus(const std::string &ADir)
{
  std::vector<TCase> cases;
  const auto add = [&](const std::string &AName, const std::string &AData, TExpect AExpect, bool AVideo = true,
                       bool AAudio = true) {
    qvtest::WriteFile(ADir + "/" + AName, AData);
    cases.push_back({AName, ADir + "/" + AName, AExpect, AVideo, AAudio});
  };
  const auto damage = [&](const std::string &AStem, const std::string &AData, bool ACuts, bool AAudio) {
    for (int percent : {1, 10, 50, 90})
      if (ACuts)
        add(AStem + "-cut" + std::to_string(percent) + ".flv", AData.substr(0, AData.size() * percent / 100),
            TExpect::Either, true, AAudio);
    for (int count : {1, 10, 100})
      add(AStem + "-flip" + std::to_string(count) + ".flv", FlipPayloadBits(AData, count, 1000u + count),
          TExpect::Either, true, AAudio);
  };
  const auto generated = [&](const std::string &AName, const qvtest::TGenOptions &AGen) {
    qvtest::MakeMedia(ADir + "/" + AName, AGen);
    return qvtest::ReadFile(ADir + "/" + AName);
  };

  const qvtest::TGenOptions gen = Flv1Mp3(2.0);
  const std::string base = generated("gen.flv", gen);
  cases.push_back({"gen.flv", ADir + "/gen.flv", TExpect::Converts});
  add("zero.flv", "", TExpect::Fails);
  std::mt19937 rng(7);
  std::string noise(32768, '\0');
  for (char &c : noise) c = static_cast<char>(rng());
  add("random.flv", noise, TExpect::Fails);
  std::string text;
  for (int i = 0; i < 40; ++i) text += "This is a plain text file, line " + std::to_string(i) + ".\n";
  add("notes.flv", text, TExpect::Fails);
  add("header-only.flv", std::string("FLV\x01\x05\x00\x00\x00\x09\x00\x00\x00\x00", 13), TExpect::Fails);
  add("no-streams.flv", FlvWithoutStreams(), TExpect::Fails);
  damage("gen", base, true, true);
  add("gen-tsjump.flv", JumpTimestamps(base), TExpect::Converts);
  qvtest::TGenOptions g = gen;
  g.AudioCodec = "";
  add("video-only.flv", generated("video-only.src", g), TExpect::Converts, true, false);
  g = gen;
  g.VideoCodec = "";
  add("audio-only.flv", generated("audio-only.src", g), TExpect::Converts, false, true);
  // Pictures that claim sizes the decoder must refuse or the scaler must shrink.
  g = gen;
  g.Width = 400;
  g.Height = 300;
  g.Seconds = 0.4;
  const std::string odd = generated("odd-size.src", g);
  add("huge-16384.flv", ClaimPictureSize(odd, 16384, 16384), TExpect::Either);
  add("huge-65535x16.flv", ClaimPictureSize(odd, 65535, 16), TExpect::Either);
  add("big-2048.flv", ClaimPictureSize(odd, 2048, 2048), TExpect::Either);
  // Real media: damage that generated files do not show.
  damage("flv1", qvtest::ReadFile(qvtest::Sample("ruffle__netstream_play_flv-test_video.flv")), true, true);
  damage("h264", qvtest::ReadFile(qvtest::Sample("membrane_rtmp_plugin__testsrc.flv")), true, true);
  damage("vp6", qvtest::ReadFile(qvtest::Sample("red5-server__test.flv")), false, false);
  // Holds tags no demuxer resyncs on: nothing can be read from it.
  cases.push_back({"h264_aac.flv", qvtest::Sample("red5-server__h264_aac.flv"), TExpect::Either});
  return cases;
}

// ---- running ----

struct TOutcome {
  bool Ok = false, OpenFailed = false;
  std::string Message;
};

// Prepare, open the input, the window's options, open the output; run on this thread.
bool OpenJob(TCustomFFmpeg &AEngine, const std::string &AIn, const std::string &AOut, TOutcome &AOutcome)
{
  AEngine.Prepare();
  if (!AEngine.OpenInputFile(AIn)) {
    AOutcome.OpenFailed = true;
    AOutcome.Message = AEngine.LastOptionError;
    return false;
  }
  for (const auto &[name, value] : kWindow) AEngine.SetOption(name, value);
  AOutcome.Message = AEngine.OpenOutputFile(AOut) ? "" : AEngine.LastOptionError;
  return AOutcome.Message.empty();
}
TOutcome ConvertWithEngine(const std::string &AIn, const std::string &AOut,
                           const std::function<void(TCustomFFmpeg &)> &ABeforeStart = {})
{
  TOutcome r;
  TCustomFFmpeg engine;
  if (!OpenJob(engine, AIn, AOut, r)) return r;
  if (ABeforeStart) ABeforeStart(engine);
  engine.Start(false);
  r.Ok = engine.Finished && !engine.ExceptionRaised;
  r.Message = engine.LastErrorMessage;
  return r;
}

struct TChild {
  int ExitCode = -1, Signal = 0;
  bool TimedOut = false;
  std::string StdErr;
};

std::vector<std::string> WindowArgs(const std::string &AIn, const std::string &AOut)
{
  std::vector<std::string> args = {"-i", AIn};
  for (const auto &[name, value] : kWindow) args.insert(args.end(), {"-" + name, value});
  args.insert(args.end(), {"-y", AOut});
  return args;
}

// Starts quenvaro-cli; AFileSizeLimit > 0 sets RLIMIT_FSIZE with SIGXFSZ
// ignored, so a full disk shows as a failing write.
pid_t StartCli(const std::vector<std::string> &AArgs, const std::string &AErrFile, long long AFileSizeLimit = 0)
{
  const std::string cli = std::string(QV_BIN_DIR) + "/quenvaro-cli";
  std::vector<char *> argv = {const_cast<char *>(cli.c_str())};
  for (const std::string &a : AArgs) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  // Under the sanitizers a report in the child must not pass for the plain failure exit code 1.
  std::vector<std::string> env;
  std::string asan = "ASAN_OPTIONS=exitcode=86";
  for (char **e = environ; *e; ++e) {
    if (std::string(*e).rfind("ASAN_OPTIONS=", 0) == 0)
      asan = std::string(*e) + ":exitcode=86";
    else
      env.push_back(*e);
  }
  env.push_back(asan);
  std::vector<char *> envp;
  for (std::string &v : env) envp.push_back(v.data());
  envp.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {  // only async-signal-safe calls from here on
    const int err = open(AErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), null = open("/dev/null", O_RDWR);
    if (err >= 0) dup2(err, STDERR_FILENO);
    if (null >= 0) dup2(null, STDOUT_FILENO), dup2(null, STDIN_FILENO);
    signal(SIGINT, SIG_DFL);
    if (AFileSizeLimit > 0) {
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit rl {};
      rl.rlim_cur = rl.rlim_max = static_cast<rlim_t>(AFileSizeLimit);
      setrlimit(RLIMIT_FSIZE, &rl);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(cli.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  return pid;
}

// Waits at most ASeconds, killing the child past that.
TChild WaitCli(pid_t APid, const std::string &AErrFile, int ASeconds = 120)
{
  TChild c;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(ASeconds);
  while (waitpid(APid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      c.TimedOut = true;
      kill(APid, SIGKILL);
      waitpid(APid, &status, 0);
      return c;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (WIFEXITED(status)) c.ExitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) c.Signal = WTERMSIG(status);
  c.StdErr = qvtest::FileExists(AErrFile) ? qvtest::ReadFile(AErrFile) : "";
  return c;
}
TChild RunCli(const std::vector<std::string> &AArgs, const std::string &AErrFile, long long AFileSizeLimit = 0)
{
  return WaitCli(StartCli(AArgs, AErrFile, AFileSizeLimit), AErrFile);
}

// A readable MP4 with at least one stream, video (mpeg4) only when AVideo, audio (aac) only when AAudio.
void ExpectValidMp4(const std::string &AOut, bool AVideo = true, bool AAudio = true)
{
  qvtest::TMediaInfo info;
  std::string error;
  ASSERT_TRUE(qvtest::ProbeMedia(AOut, info, &error)) << AOut << " does not open: " << error;
  EXPECT_NE(info.Format.find("mp4"), std::string::npos) << AOut;
  EXPECT_FALSE(info.Streams.empty()) << AOut;
  for (const qvtest::TStreamInfo &s : info.Streams) {
    const bool video = s.Type == AVMEDIA_TYPE_VIDEO;
    EXPECT_TRUE(video ? AVideo : s.Type == AVMEDIA_TYPE_AUDIO && AAudio) << AOut << ": stream of type " << s.Type;
    EXPECT_EQ(s.Codec, video ? "mpeg4" : "aac") << AOut;
  }
}
// No file, or a file with some bytes: an empty output is never left behind.
void ExpectNoEmptyOutput(const std::string &AOut)
{
  EXPECT_NE(qvtest::FileSize(AOut), 0) << AOut << " left behind empty";
}

// Ends the test binary when a run goes past the bound, so a hang shows as a failure.
class TWatchdog {
 public:
  TWatchdog(int ASeconds, std::string AWhat)
      : FThread([this, ASeconds, what = std::move(AWhat)] {
          std::unique_lock<std::mutex> lock(FLock);
          if (!FDone.wait_for(lock, std::chrono::seconds(ASeconds), [this] { return FFinished; })) {
            std::fprintf(stderr, "HANG: %s did not end within %d s\n", what.c_str(), ASeconds);
            std::_Exit(3);
          }
        })
  {
  }
  ~TWatchdog()
  {
    {
      std::lock_guard<std::mutex> lock(FLock);
      FFinished = true;
    }
    FDone.notify_all();
    FThread.join();
  }

 private:
  std::mutex FLock;
  std::condition_variable FDone;
  bool FFinished = false;
  std::thread FThread;  // last: starts once the rest exists
};

// ---- tests ----

class ReliabilityTest : public ::testing::Test {
 protected:
  void SetUp() override { qvtest::LoadLibs(); }
  std::string Input(double ASeconds)
  {
    qvtest::MakeMedia(Dir.File("in.flv"), Flv1Mp3(ASeconds));
    return Dir.File("in.flv");
  }
  qvtest::TScratchDir Dir;
};

TEST_F(ReliabilityTest, EngineAndCommandEndEveryBrokenInputWithAnMp4OrAMessage)
{
  const std::vector<TCase> corpus = MakeCorpus(Dir.Path());
  ASSERT_EQ(corpus.size(), 37u);
  int converted = 0;
  for (const TCase &c : corpus) {
    SCOPED_TRACE(c.Name);
    const std::string viaEngine = Dir.File(c.Name + ".e.mp4"), viaCli = Dir.File(c.Name + ".c.mp4");
    TOutcome o;
    {
      TWatchdog dog(120, "engine conversion of " + c.Name);
      o = ConvertWithEngine(c.Path, viaEngine);
    }
    if (o.Ok) {
      EXPECT_NE(c.Expect, TExpect::Fails) << "converted an unreadable file";
      ExpectValidMp4(viaEngine, c.HasVideo, c.HasAudio);
      ++converted;
    } else {
      EXPECT_NE(c.Expect, TExpect::Converts) << o.Message;
      EXPECT_FALSE(o.Message.empty());
      EXPECT_TRUE(c.Expect != TExpect::Fails || o.OpenFailed) << o.Message;
      EXPECT_TRUE(!o.OpenFailed || o.Message.find(c.Path) != std::string::npos) << o.Message;  // names the file
    }
    ExpectNoEmptyOutput(viaEngine);

    const TChild r = RunCli(WindowArgs(c.Path, viaCli), Dir.File("stderr.txt"));
    ASSERT_FALSE(r.TimedOut) << "hangs";
    ASSERT_EQ(r.Signal, 0) << "killed by a signal\n" << r.StdErr;
    ASSERT_TRUE(r.ExitCode == 0 || r.ExitCode == 1) << r.ExitCode << "\n" << r.StdErr;
    EXPECT_EQ(r.ExitCode == 0, o.Ok) << "the engine and the command disagree\n" << o.Message << "\n" << r.StdErr;
    if (r.ExitCode == 0) {
      ExpectValidMp4(viaCli, c.HasVideo, c.HasAudio);
    } else {
      EXPECT_FALSE(r.StdErr.empty());
      EXPECT_TRUE(c.Expect != TExpect::Fails || r.StdErr.find(c.Path) != std::string::npos) << r.StdErr;
    }
    ExpectNoEmptyOutput(viaCli);
  }
  // Most damage is survivable: decoders skip what they cannot read.
  EXPECT_GE(converted, static_cast<int>(corpus.size()) / 2);
}

TEST_F(ReliabilityTest, AnOutputThatCannotBeCreatedIsRefusedByName)
{
  const std::string in = Input(0.5);
  qvtest::WriteFile(Dir.File("plain"), "a regular file");
  std::vector<std::string> targets = {Dir.File("missing-folder/out.mp4"), Dir.File("plain/out.mp4")};
  // The super-user writes anywhere, so only an ordinary account sees a locked folder.
  if (geteuid() != 0 && mkdir(Dir.File("locked").c_str(), 0555) == 0) targets.push_back(Dir.File("locked/out.mp4"));
  for (const std::string &target : targets) {
    SCOPED_TRACE(target);
    const TOutcome o = ConvertWithEngine(in, target);
    EXPECT_FALSE(o.Ok);
    EXPECT_EQ(o.Message, "Could not open '" + target + "'");
    const TChild r = RunCli(WindowArgs(in, target), Dir.File("stderr.txt"));
    EXPECT_EQ(r.ExitCode, 1) << r.StdErr;
    EXPECT_NE(r.StdErr.find("Could not open '" + target + "'"), std::string::npos) << r.StdErr;
    EXPECT_FALSE(qvtest::FileExists(target));
  }
  chmod(Dir.File("locked").c_str(), 0755);
}

TEST_F(ReliabilityTest, ADiskThatFillsUpEndsWithTheWriteErrorAndSparesTheInput)
{
  const std::string in = Input(10.0), before = qvtest::ReadFile(in), target = Dir.File("full.mp4");
  // 100 kB: packets are still being written when the disk fills up.
  // 30 kB: all of it fits the write buffer, so the trailer meets it.
  const std::pair<long long, const char *> cases[] = {{100 * 1024, "av_interleaved_write_frame(): "},
                                                      {30 * 1024, "write"}};
  for (const auto &[limit, where] : cases) {
    SCOPED_TRACE(limit);
    const TChild r = RunCli(WindowArgs(in, target), Dir.File("stderr.txt"), limit);
    ASSERT_FALSE(r.TimedOut);
    EXPECT_EQ(r.Signal, 0);
    EXPECT_EQ(r.ExitCode, 1) << r.StdErr;
    // Whichever call meets it, the message is the write error's, not a generic one.
    EXPECT_NE(r.StdErr.find(where), std::string::npos) << r.StdErr;
    EXPECT_NE(r.StdErr.find("write"), std::string::npos) << r.StdErr;
    EXPECT_NE(r.StdErr.find("File too large"), std::string::npos) << r.StdErr;
    EXPECT_LE(qvtest::FileSize(target), limit);
    EXPECT_EQ(qvtest::ReadFile(in), before) << "input changed";
  }
}

TEST_F(ReliabilityTest, AnInputDeletedOrTruncatedWhileReadEndsCleanly)
{
  enum TChange { Delete, TruncateToZero, TruncateToThird };
  for (TChange change : {Delete, TruncateToZero, TruncateToThird}) {
    SCOPED_TRACE(change);
    const std::string in = Input(4.0), target = Dir.File("out.mp4");
    int progressCalls = 0;
    TWatchdog dog(120, "conversion of a changing input");
    const TOutcome o = ConvertWithEngine(in, target, [&](TCustomFFmpeg &e) {
      e.ProgressInterval = 0;  // a report after every packet
      e.OnProgress = [&](TCustomFFmpeg *, int, int, int, float, float, int64_t, int) {
        if (progressCalls++ != 5) return;
        if (change == Delete)
          std::filesystem::remove(in);
        else
          std::filesystem::resize_file(in, change == TruncateToZero ? 0 : qvtest::FileSize(in) / 3);
      };
    });
    ASSERT_GT(progressCalls, 5);
    if (o.Ok)
      ExpectValidMp4(target);
    else
      EXPECT_FALSE(o.Message.empty());
    ExpectNoEmptyOutput(target);
  }
}

TEST_F(ReliabilityTest, EngineStoppedAtRandomMomentsLeavesPlayableOutputs)
{
  const std::string in = Input(3.0);
  std::mt19937 rng(2024);
  int stopped = 0;
  for (int i = 0; i < 12; ++i) {
    SCOPED_TRACE(i);
    const std::string target = Dir.File("stop" + std::to_string(i) + ".mp4");
    TCustomFFmpeg engine;
    TOutcome o;
    ASSERT_TRUE(OpenJob(engine, in, target, o)) << o.Message;
    int terminated = 0;
    engine.OnTerminate = [&](TCustomFFmpeg *) { ++terminated; };
    TWatchdog dog(120, "stopped conversion");
    TFFmpegThread *thread = engine.Start(true);
    ASSERT_NE(thread, nullptr);
    // The first run stops before the worker starts; the others hit the set-up, the packet loop or the flush.
    if (i > 0) {
      thread->Resume();
      std::this_thread::sleep_for(std::chrono::microseconds(rng() % 250000));
    }
    engine.Stop();  // resumes a suspended worker, which sees the request at once
    engine.WaitForThread();
    EXPECT_EQ(terminated, 1);
    EXPECT_FALSE(engine.ExceptionRaised) << engine.LastErrorMessage;
    stopped += !engine.Finished;
    ExpectNoEmptyOutput(target);
    if (i == 0) {
      // A stop before the first packet leaves no output rather than an MP4 without a stream.
      EXPECT_FALSE(engine.Finished);
      EXPECT_EQ(engine.LastErrorMessage, "");
      EXPECT_FALSE(qvtest::FileExists(target)) << "size " << qvtest::FileSize(target);
    } else if (qvtest::FileExists(target)) {
      ExpectValidMp4(target);
    }
  }
  EXPECT_GT(stopped, 1) << "no run was stopped before its end";
}

TEST_F(ReliabilityTest, CtrlCToTheCommandLeavesPlayableOutputs)
{
  const std::string in = Input(3.0);
  std::mt19937 rng(77);
  int interrupted = 0;
  for (int i = 0; i < 8; ++i) {
    SCOPED_TRACE(i);
    const std::string target = Dir.File("int" + std::to_string(i) + ".mp4"), err = Dir.File("stderr.txt");
    const pid_t pid = StartCli(WindowArgs(in, target), err);
    ASSERT_GT(pid, 0);
    // The handler is in place before the output is created; wait for the
    // file (its temporary, until it is finished), so the signal reaches the
    // job rather than the library loading.
    const std::string temporary = "." + std::filesystem::path(target).filename().string() + ".";
    auto created = [&] {
      for (const auto &e : std::filesystem::directory_iterator(Dir.Path()))
        if (e.path().filename().string().rfind(temporary, 0) == 0) return true;
      return qvtest::FileExists(target);
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!created() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 300000));
    kill(pid, SIGINT);
    const TChild r = WaitCli(pid, err);
    ASSERT_FALSE(r.TimedOut);
    EXPECT_EQ(r.Signal, 0) << r.StdErr;
    EXPECT_TRUE(r.ExitCode == 130 || r.ExitCode == 0) << r.ExitCode << "\n" << r.StdErr;  // 0: already finished
    interrupted += r.ExitCode == 130;
    ExpectNoEmptyOutput(target);
    if (qvtest::FileExists(target)) ExpectValidMp4(target);
  }
  EXPECT_GT(interrupted, 0) << "no run was interrupted before its end";
}

}  // namespace
