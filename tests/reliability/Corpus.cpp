#include "Corpus.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>

#include "FFmpeg.h"
#include "TestEnv.h"
#include "TestMedia.h"

namespace qvrel {

TOptions WindowOptions()
{
  return {{"vcodec", "mpeg4"}, {"acodec", "libfaac"}, {"s", "320x240"}, {"r", "15"},
          {"b", "360000"},     {"ab", "96000"},       {"ar", "44100"},   {"ac", "2"}};
}

// ---- FLV tags ----

namespace {

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

}  // namespace

TFlv ParseFlv(const std::string &AData)
{
  if (AData.size() < 13 || AData.compare(0, 3, "FLV") != 0) throw std::runtime_error("not an FLV file");
  TFlv flv;
  const uint32_t offset = Be(AData, 5, 4);
  flv.Header = AData.substr(0, 9);
  std::size_t pos = offset + 4;  // after PreviousTagSize0
  while (pos + 11 <= AData.size()) {
    TFlvTag tag;
    tag.Type = static_cast<uint8_t>(AData[pos]);
    const uint32_t size = Be(AData, pos + 1, 3);
    tag.Time = Be(AData, pos + 4, 3) | (static_cast<uint32_t>(static_cast<uint8_t>(AData[pos + 7])) << 24);
    if (pos + 11 + size > AData.size()) break;  // a cut last tag
    tag.Body = AData.substr(pos + 11, size);
    flv.Tags.push_back(std::move(tag));
    pos += 11 + size + 4;
  }
  return flv;
}

std::string BuildFlv(const TFlv &AFlv)
{
  std::string out = AFlv.Header;
  PutBe(out, 0, 4);
  for (const TFlvTag &t : AFlv.Tags) {
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

// ---- corpus ----

namespace {

void SetBits(std::string &AData, std::size_t ABitPos, int ACount, uint32_t AValue)
{
  for (int i = 0; i < ACount; ++i) {
    const std::size_t p = ABitPos + i;
    const auto mask = static_cast<char>(0x80 >> (p % 8));
    if ((AValue >> (ACount - 1 - i)) & 1)
      AData[p / 8] = static_cast<char>(AData[p / 8] | mask);
    else
      AData[p / 8] = static_cast<char>(AData[p / 8] & ~mask);
  }
}

uint32_t GetBits(const std::string &AData, std::size_t ABitPos, int ACount)
{
  uint32_t v = 0;
  for (int i = 0; i < ACount; ++i) {
    const std::size_t p = ABitPos + i;
    v = (v << 1) | ((static_cast<uint8_t>(AData[p / 8]) >> (7 - p % 8)) & 1);
  }
  return v;
}

// Flips ACount random bits inside audio and video payloads (never in the tag
// headers, so the damage reaches the decoders rather than the demuxer alone).
std::string FlipPayloadBytes(const std::string &AData, int ACount, unsigned ASeed)
{
  const TFlv flv = ParseFlv(AData);
  std::vector<std::pair<std::size_t, std::size_t>> ranges;  // [begin, end) in AData
  std::size_t pos = Be(AData, 5, 4) + 4;
  for (const TFlvTag &t : flv.Tags) {
    if ((t.Type == 8 || t.Type == 9) && t.Body.size() > 2) ranges.push_back({pos + 11 + 1, pos + 11 + t.Body.size()});
    pos += 11 + t.Body.size() + 4;
  }
  if (ranges.empty()) throw std::runtime_error("no payload to damage");
  std::string out = AData;
  std::mt19937 rng(ASeed);
  for (int i = 0; i < ACount; ++i) {
    const auto &r = ranges[rng() % ranges.size()];
    const std::size_t at = r.first + rng() % (r.second - r.first);
    out[at] = static_cast<char>(out[at] ^ (1 << (rng() % 8)));
  }
  return out;
}

// Rewrites every Sorenson picture header to claim AWidth x AHeight. The
// source must use the 16-bit custom size (format 1), as any size above 255
// that is no standard one does.
std::string ClaimPictureSize(const std::string &AData, uint32_t AWidth, uint32_t AHeight)
{
  TFlv flv = ParseFlv(AData);
  int patched = 0;
  for (TFlvTag &t : flv.Tags) {
    if (t.Type != 9 || t.Body.size() < 12) continue;
    // After the A/V byte: start code 17, version 5, temporal reference 8, size format 3.
    const std::size_t header = 8;
    if (GetBits(t.Body, header, 17) != 1 || GetBits(t.Body, header + 30, 3) != 1)
      throw std::runtime_error("unexpected picture header");
    SetBits(t.Body, header + 33, 16, AWidth);
    SetBits(t.Body, header + 49, 16, AHeight);
    ++patched;
  }
  if (patched == 0) throw std::runtime_error("no picture to patch");
  return BuildFlv(flv);
}

// Timestamps that step back a little, leap forward past the discontinuity
// threshold, and fall back to the start.
std::string JumpTimestamps(const std::string &AData)
{
  TFlv flv = ParseFlv(AData);
  const int64_t shifts[] = {0, -700, 0, 4000, 45000, -300, 0, -100000};
  std::size_t i = 0;
  for (TFlvTag &t : flv.Tags) {
    if (t.Type != 8 && t.Type != 9) continue;
    const int64_t shifted = static_cast<int64_t>(t.Time) + shifts[(i++ / 5) % std::size(shifts)];
    t.Time = static_cast<uint32_t>(shifted < 0 ? 0 : shifted);
  }
  return BuildFlv(flv);
}

std::string AmfString(const std::string &AText)
{
  std::string out;
  PutBe(out, static_cast<uint32_t>(AText.size()), 2);
  return out + AText;
}

// An FLV header that announces neither audio nor video, then only onMetaData.
std::string FlvWithoutStreams()
{
  TFlv flv;
  flv.Header = std::string("FLV\x01\x00\x00\x00\x00\x09", 9);
  TFlvTag meta;
  meta.Type = 18;
  meta.Body = "\x02" + AmfString("onMetaData") + "\x08";
  PutBe(meta.Body, 1, 4);
  meta.Body += AmfString("duration") + std::string(1, '\0') + std::string(8, '\0') + std::string("\0\0\x09", 3);
  flv.Tags.push_back(meta);
  return BuildFlv(flv);
}

void Add(std::vector<TCase> &ACases, const std::string &ADir, const std::string &AName, const std::string &AData,
         TExpect AExpect, bool AVideo = true, bool AAudio = true)
{
  const std::string path = ADir + "/" + AName;
  qvtest::WriteFile(path, AData);
  ACases.push_back({AName, path, AExpect, AVideo, AAudio});
}

void AddCuts(std::vector<TCase> &ACases, const std::string &ADir, const std::string &AStem, const std::string &AData)
{
  for (int percent : {1, 10, 50, 90})
    Add(ACases, ADir, AStem + "-cut" + std::to_string(percent) + ".flv", AData.substr(0, AData.size() * percent / 100),
        TExpect::Either);
}

void AddFlips(std::vector<TCase> &ACases, const std::string &ADir, const std::string &AStem, const std::string &AData)
{
  for (int count : {1, 10, 100})
    Add(ACases, ADir, AStem + "-flip" + std::to_string(count) + ".flv",
        FlipPayloadBytes(AData, count, 1000u + static_cast<unsigned>(count)), TExpect::Either);
}

}  // namespace

std::vector<TCase> MakeCorpus(const std::string &ADir)
{
  std::vector<TCase> cases;

  // Generated: the classic FLV1 + MP3 pair, short.
  qvtest::TGenOptions gen;
  gen.VideoCodec = "flv";
  gen.AudioCodec = "libmp3lame";
  gen.Seconds = 2.0;
  gen.FrameRate = {15, 1};
  const std::string base = ADir + "/gen.flv";
  qvtest::MakeMedia(base, gen);
  const std::string baseData = qvtest::ReadFile(base);
  cases.push_back({"gen.flv", base, TExpect::Converts});

  Add(cases, ADir, "zero.flv", "", TExpect::Fails);
  {
    std::mt19937 rng(7);
    std::string noise(32768, '\0');
    for (char &c : noise) c = static_cast<char>(rng());
    Add(cases, ADir, "random.flv", noise, TExpect::Fails);
  }
  {
    std::string text;
    for (int i = 0; i < 40; ++i) text += "This is a plain text file, line " + std::to_string(i) + ".\n";
    Add(cases, ADir, "notes.flv", text, TExpect::Fails);
  }
  Add(cases, ADir, "header-only.flv", std::string("FLV\x01\x05\x00\x00\x00\x09\x00\x00\x00\x00", 13), TExpect::Fails);
  Add(cases, ADir, "no-streams.flv", FlvWithoutStreams(), TExpect::Fails);

  AddCuts(cases, ADir, "gen", baseData);
  AddFlips(cases, ADir, "gen", baseData);
  Add(cases, ADir, "gen-tsjump.flv", JumpTimestamps(baseData), TExpect::Converts);

  {
    qvtest::TGenOptions g = gen;
    g.AudioCodec = "";
    const std::string p = ADir + "/video-only.flv";
    qvtest::MakeMedia(p, g);
    cases.push_back({"video-only.flv", p, TExpect::Converts, true, false});
    g = gen;
    g.VideoCodec = "";
    const std::string q = ADir + "/audio-only.flv";
    qvtest::MakeMedia(q, g);
    cases.push_back({"audio-only.flv", q, TExpect::Converts, false, true});
  }
  {
    // Pictures that claim sizes the decoder must refuse or the scaler must shrink.
    qvtest::TGenOptions g = gen;
    g.Width = 400;
    g.Height = 300;
    g.Seconds = 0.4;
    const std::string p = ADir + "/odd-size-source.flv";
    qvtest::MakeMedia(p, g);
    const std::string data = qvtest::ReadFile(p);
    Add(cases, ADir, "huge-16384.flv", ClaimPictureSize(data, 16384, 16384), TExpect::Either);
    Add(cases, ADir, "huge-65535x16.flv", ClaimPictureSize(data, 65535, 16), TExpect::Either);
    Add(cases, ADir, "big-2048.flv", ClaimPictureSize(data, 2048, 2048), TExpect::Either);
  }

  // Real media: damage that generated files do not show.
  const std::string flv1 = qvtest::ReadFile(qvtest::Sample("ruffle__netstream_play_flv-test_video.flv"));
  const std::string h264 = qvtest::ReadFile(qvtest::Sample("membrane_rtmp_plugin__testsrc.flv"));
  const std::string vp6 = qvtest::ReadFile(qvtest::Sample("red5-server__test.flv"));
  AddCuts(cases, ADir, "flv1", flv1);
  AddCuts(cases, ADir, "h264", h264);
  AddFlips(cases, ADir, "flv1", flv1);
  AddFlips(cases, ADir, "h264", h264);
  AddFlips(cases, ADir, "vp6", vp6);
  for (TCase &c : cases)
    if (c.Name.rfind("vp6", 0) == 0) c.HasAudio = false;
  // Holds tags no demuxer resyncs on: nothing can be read from it.
  cases.push_back({"h264_aac.flv", qvtest::Sample("red5-server__h264_aac.flv"), TExpect::Either});
  return cases;
}

// ---- converting ----

TOutcome ConvertWithEngine(TCustomFFmpeg &AEngine, const std::string &AIn, const std::string &AOut,
                           const std::function<void(TCustomFFmpeg &)> &ABeforeStart)
{
  TOutcome r;
  AEngine.Prepare();
  if (!AEngine.OpenInputFile(AIn)) {
    r.OpenFailed = true;
    r.Message = AEngine.LastOptionError;
    return r;
  }
  for (const auto &[name, value] : WindowOptions()) AEngine.SetOption(name, value);
  if (!AEngine.OpenOutputFile(AOut)) {
    r.Message = AEngine.LastOptionError;
    return r;
  }
  if (ABeforeStart) ABeforeStart(AEngine);
  AEngine.Start(false);
  r.Ok = AEngine.Finished && !AEngine.ExceptionRaised;
  r.Message = AEngine.LastErrorMessage;
  return r;
}

std::string CliPath() { return std::string(QV_BIN_DIR) + "/quenvaro-cli"; }

std::vector<std::string> WindowArgs(const std::string &AIn, const std::string &AOut)
{
  std::vector<std::string> args = {"-i", AIn};
  for (const auto &[name, value] : WindowOptions()) {
    args.push_back("-" + name);
    args.push_back(value);
  }
  args.push_back("-y");
  args.push_back(AOut);
  return args;
}

pid_t StartCli(const std::vector<std::string> &AArgs, const std::string &AErrFile, long long AFileSizeLimit)
{
  const std::string cli = CliPath();
  std::vector<char *> argv;
  argv.push_back(const_cast<char *>(cli.c_str()));
  for (const std::string &a : AArgs) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  // Under the sanitizers a report in the child must not pass for the plain
  // failure exit code 1.
  std::vector<std::string> env;
  std::string asan = "ASAN_OPTIONS=exitcode=86";
  for (char **e = environ; *e; ++e) {
    const std::string v = *e;
    if (v.rfind("ASAN_OPTIONS=", 0) == 0)
      asan = v + ":exitcode=86";
    else
      env.push_back(v);
  }
  env.push_back(asan);
  std::vector<char *> envp;
  for (std::string &v : env) envp.push_back(v.data());
  envp.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here on.
    const int err = open(AErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int null = open("/dev/null", O_RDWR);
    if (err >= 0) dup2(err, STDERR_FILENO);
    if (null >= 0) {
      dup2(null, STDOUT_FILENO);
      dup2(null, STDIN_FILENO);
    }
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

TChild WaitCli(pid_t APid, const std::string &AErrFile, int ASeconds)
{
  TChild c;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(ASeconds);
  for (;;) {
    const pid_t r = waitpid(APid, &status, WNOHANG);
    if (r == APid) break;
    if (r < 0) return c;
    if (std::chrono::steady_clock::now() > deadline) {
      c.TimedOut = true;
      kill(APid, SIGKILL);
      waitpid(APid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!c.TimedOut) {
    if (WIFEXITED(status)) c.ExitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) c.Signal = WTERMSIG(status);
  }
  c.StdErr = qvtest::FileExists(AErrFile) ? qvtest::ReadFile(AErrFile) : "";
  return c;
}

TChild RunCli(const std::vector<std::string> &AArgs, const std::string &AErrFile, long long AFileSizeLimit)
{
  return WaitCli(StartCli(AArgs, AErrFile, AFileSizeLimit), AErrFile);
}

bool ExpectValidMp4(const std::string &AOut, bool AVideo, bool AAudio)
{
  qvtest::TMediaInfo info;
  std::string error;
  if (!qvtest::ProbeMedia(AOut, info, &error)) {
    ADD_FAILURE() << AOut << " does not open: " << error;
    return false;
  }
  bool ok = true;
  const auto check = [&](bool ACond, const std::string &AWhy) {
    if (!ACond) {
      ADD_FAILURE() << AOut << ": " << AWhy;
      ok = false;
    }
  };
  check(info.Format.find("mp4") != std::string::npos, "format " + info.Format);
  check(!info.Streams.empty(), "no stream");
  for (const qvtest::TStreamInfo &s : info.Streams) {
    if (s.Type == AVMEDIA_TYPE_VIDEO) {
      check(AVideo, "a video stream the input does not have");
      check(s.Codec == "mpeg4", "video codec " + s.Codec);
    } else if (s.Type == AVMEDIA_TYPE_AUDIO) {
      check(AAudio, "an audio stream the input does not have");
      check(s.Codec == "aac", "audio codec " + s.Codec);
    } else {
      check(false, "a stream of type " + std::to_string(s.Type));
    }
  }
  return ok;
}

void ExpectNoEmptyOutput(const std::string &AOut)
{
  EXPECT_NE(qvtest::FileSize(AOut), 0) << AOut << " left behind empty";
}

// ---- watchdog ----

struct TWatchdog::TState {
  std::mutex Lock;
  std::condition_variable Done;
  bool Finished = false;
  std::thread Thread;
};

TWatchdog::TWatchdog(int ASeconds, std::string AWhat) : FState(new TState)
{
  FState->Thread = std::thread([s = FState, ASeconds, what = std::move(AWhat)] {
    std::unique_lock<std::mutex> lock(s->Lock);
    if (!s->Done.wait_for(lock, std::chrono::seconds(ASeconds), [s] { return s->Finished; })) {
      std::fprintf(stderr, "HANG: %s did not end within %d s\n", what.c_str(), ASeconds);
      std::fflush(stderr);
      std::_Exit(3);
    }
  });
}

TWatchdog::~TWatchdog()
{
  {
    std::lock_guard<std::mutex> lock(FState->Lock);
    FState->Finished = true;
  }
  FState->Done.notify_all();
  FState->Thread.join();
  delete FState;
}

}  // namespace qvrel
