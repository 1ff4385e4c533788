// quenvaro-cli convert and presets, run as a program on generated FLV files:
// output names and contents, failures that stay with their file, the JSON
// event stream, Ctrl-C, and files that must never be overwritten.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "ConvertRecord.h"
#include "TestEnv.h"
#include "TestMedia.h"

namespace {

using qvtest::TScratchDir;

struct TRun {
  int Code = -1;
  std::string Out, Err;
};

std::string Cli() { return std::string(QV_BIN_DIR) + "/quenvaro-cli"; }

// Runs quenvaro-cli with AArgs (no shell), collecting stdout and stderr. With
// AInterruptOn, SIGINT is sent once stdout holds that text. AFileLimit > 0
// caps the child's open files (soft and hard).
TRun RunCli(const std::vector<std::string> &AArgs, const std::string &AInterruptOn = {}, rlim_t AFileLimit = 0)
{
  TRun r;
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) return r;
  const pid_t pid = fork();
  if (pid == 0) {
    if (AFileLimit > 0) {
      const rlimit rl{AFileLimit, AFileLimit};
      setrlimit(RLIMIT_NOFILE, &rl);
    }
    dup2(out[1], 1);
    dup2(err[1], 2);
    close(out[0]);
    close(err[0]);
    std::vector<char *> argv;
    std::string cli = Cli();
    argv.push_back(cli.data());
    std::vector<std::string> args = AArgs;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(cli.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  // stderr is drained by a thread so neither pipe can fill and stall the child.
  std::thread errReader([&] {
    char buf[4096];
    ssize_t n;
    while ((n = read(err[0], buf, sizeof buf)) > 0) r.Err.append(buf, static_cast<size_t>(n));
  });
  bool sent = false;
  char buf[4096];
  ssize_t n;
  while ((n = read(out[0], buf, sizeof buf)) > 0) {
    r.Out.append(buf, static_cast<size_t>(n));
    if (!sent && !AInterruptOn.empty() && r.Out.find(AInterruptOn) != std::string::npos) {
      kill(pid, SIGINT);
      sent = true;
    }
  }
  errReader.join();
  close(out[0]);
  close(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  r.Code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

std::vector<std::string> Lines(const std::string &AText)
{
  std::vector<std::string> out;
  size_t pos = 0, e;
  while ((e = AText.find('\n', pos)) != std::string::npos) {
    out.push_back(AText.substr(pos, e - pos));
    pos = e + 1;
  }
  if (pos < AText.size()) out.push_back(AText.substr(pos));
  return out;
}

// ---- a small strict JSON reader: one object per line, flat values ----

class TJsonLine {
 public:
  // False when ALine is not one valid JSON object; top-level fields land in
  // Fields (strings decoded to UTF-8, other values as written).
  bool Parse(const std::string &ALine)
  {
    FText = ALine;
    FPos = 0;
    Fields.clear();
    if (!Utf8Valid()) return false;
    Space();
    if (!Object(true)) return false;
    Space();
    return FPos == FText.size();
  }
  std::map<std::string, std::string> Fields;

 private:
  bool Utf8Valid() const
  {
    for (size_t i = 0; i < FText.size();) {
      const unsigned char c = static_cast<unsigned char>(FText[i]);
      const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
      if (n == 0 || i + n > FText.size()) return false;
      for (size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(FText[i + k]) & 0xC0) != 0x80) return false;
      i += n;
    }
    return true;
  }
  void Space()
  {
    while (FPos < FText.size() && (FText[FPos] == ' ' || FText[FPos] == '\t')) ++FPos;
  }
  bool Eat(char C)
  {
    Space();
    if (FPos < FText.size() && FText[FPos] == C) {
      ++FPos;
      return true;
    }
    return false;
  }
  bool String(std::string &AOut)
  {
    if (!Eat('"')) return false;
    while (FPos < FText.size()) {
      const unsigned char c = static_cast<unsigned char>(FText[FPos++]);
      if (c == '"') return true;
      if (c < 0x20) return false;  // raw control characters are not allowed
      if (c != '\\') {
        AOut += static_cast<char>(c);
        continue;
      }
      if (FPos >= FText.size()) return false;
      const char e = FText[FPos++];
      switch (e) {
        case '"': AOut += '"'; break;
        case '\\': AOut += '\\'; break;
        case '/': AOut += '/'; break;
        case 'b': AOut += '\b'; break;
        case 'f': AOut += '\f'; break;
        case 'n': AOut += '\n'; break;
        case 'r': AOut += '\r'; break;
        case 't': AOut += '\t'; break;
        case 'u': {
          if (FPos + 4 > FText.size()) return false;
          unsigned cp = 0;
          for (int k = 0; k < 4; ++k) {
            const char h = FText[FPos++];
            if (!isxdigit(static_cast<unsigned char>(h))) return false;
            cp = cp * 16 + static_cast<unsigned>(isdigit(static_cast<unsigned char>(h)) ? h - '0' : (h | 0x20) - 'a' + 10);
          }
          if (cp < 0x80) {
            AOut += static_cast<char>(cp);
          } else if (cp < 0x800) {
            AOut += static_cast<char>(0xC0 | (cp >> 6));
            AOut += static_cast<char>(0x80 | (cp & 0x3F));
          } else {
            AOut += static_cast<char>(0xE0 | (cp >> 12));
            AOut += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            AOut += static_cast<char>(0x80 | (cp & 0x3F));
          }
          break;
        }
        default: return false;
      }
    }
    return false;
  }
  bool Number(std::string &AOut)
  {
    const size_t start = FPos;
    if (FPos < FText.size() && FText[FPos] == '-') ++FPos;
    if (FPos >= FText.size() || !isdigit(static_cast<unsigned char>(FText[FPos]))) return false;
    if (FText[FPos] == '0' && FPos + 1 < FText.size() && isdigit(static_cast<unsigned char>(FText[FPos + 1])))
      return false;
    while (FPos < FText.size() && isdigit(static_cast<unsigned char>(FText[FPos]))) ++FPos;
    if (FPos < FText.size() && FText[FPos] == '.') {
      ++FPos;
      if (FPos >= FText.size() || !isdigit(static_cast<unsigned char>(FText[FPos]))) return false;
      while (FPos < FText.size() && isdigit(static_cast<unsigned char>(FText[FPos]))) ++FPos;
    }
    AOut = FText.substr(start, FPos - start);
    return true;
  }
  bool Value(std::string &AOut)
  {
    Space();
    if (FPos >= FText.size()) return false;
    const char c = FText[FPos];
    if (c == '"') return String(AOut);
    if (c == '{') return Object(false);
    for (const char *word : {"true", "false", "null"})
      if (FText.compare(FPos, std::strlen(word), word) == 0) {
        FPos += std::strlen(word);
        AOut = word;
        return true;
      }
    return Number(AOut);
  }
  bool Object(bool ATop)
  {
    if (!Eat('{')) return false;
    if (Eat('}')) return true;
    do {
      std::string key, value;
      if (!String(key) || !Eat(':') || !Value(value)) return false;
      if (ATop) Fields[key] = value;
    } while (Eat(','));
    return Eat('}');
  }

  std::string FText;
  size_t FPos = 0;
};

// Every stdout line as a parsed event; fails the test on a line that is not JSON.
std::vector<std::map<std::string, std::string>> Events(const std::string &AOut)
{
  std::vector<std::map<std::string, std::string>> events;
  TJsonLine p;
  for (const auto &line : Lines(AOut)) {
    EXPECT_TRUE(p.Parse(line)) << "not JSON: " << line;
    events.push_back(p.Fields);
  }
  return events;
}

// ---- media ----

class Batch : public ::testing::Test {
 protected:
  void SetUp() override { qvtest::LoadLibs(); }

  // An FLV of the kind the converter is for: FLV1 video, MP3 audio.
  std::string MakeFlv(const std::string &AName, double ASeconds = 1.5, int AWidth = 320, int AHeight = 240)
  {
    qvtest::TGenOptions o;
    o.VideoCodec = "flv";
    o.AudioCodec = "libmp3lame";
    o.Seconds = ASeconds;
    o.Width = AWidth;
    o.Height = AHeight;
    const std::string path = Dir.File(AName);
    qvtest::MakeMedia(path, o);
    return path;
  }

  // A small preset file keeps the conversions quick.
  std::string SmallPresets()
  {
    const std::string path = Dir.File("presets.ini");
    qvtest::WriteFile(path,
                      "[tiny]\nname=Tiny 160x120\nframe_width=160\nframe_height=120\nvideo_bitrate=100000\n"
                      "audio_bitrate=32000\naudio_channels=1\naudio_frequency=22050\n"
                      "[small]\nname=Small 176x144\nframe_width=176\nframe_height=144\nvideo_bitrate=128000\n"
                      "audio_bitrate=64000\naudio_channels=2\naudio_frequency=44100\n");
    return path;
  }

  static void ExpectConverted(const std::string &APath, int AWidth, int AHeight, int ARate, int AChannels)
  {
    SCOPED_TRACE(APath);
    qvtest::TMediaInfo info;
    std::string error;
    ASSERT_TRUE(qvtest::ProbeMedia(APath, info, &error)) << error;
    const qvtest::TStreamInfo *v = info.Find(AVMEDIA_TYPE_VIDEO);
    const qvtest::TStreamInfo *a = info.Find(AVMEDIA_TYPE_AUDIO);
    ASSERT_NE(v, nullptr);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(v->Codec, "mpeg4");
    EXPECT_EQ(v->Width, AWidth);
    EXPECT_EQ(v->Height, AHeight);
    EXPECT_GT(v->Packets, 0);
    EXPECT_NEAR(av_q2d(v->FrameRate), 15.0, 0.5);
    EXPECT_EQ(a->Codec, "aac");
    EXPECT_EQ(a->SampleRate, ARate);
    EXPECT_EQ(a->Channels, AChannels);
  }

  TScratchDir Dir;
};

struct TStamp {
  long long Size = -1;
  timespec MTime{};
};

TStamp Stamp(const std::string &APath)
{
  TStamp s;
  struct stat st {};
  if (stat(APath.c_str(), &st) == 0) {
    s.Size = st.st_size;
    s.MTime = st.st_mtim;
  }
  return s;
}

void ExpectUntouched(const std::string &APath, const TStamp &ABefore, const std::string &AContent)
{
  const TStamp now = Stamp(APath);
  EXPECT_EQ(now.Size, ABefore.Size) << APath;
  EXPECT_EQ(now.MTime.tv_sec, ABefore.MTime.tv_sec) << APath;
  EXPECT_EQ(now.MTime.tv_nsec, ABefore.MTime.tv_nsec) << APath;
  EXPECT_EQ(qvtest::ReadFile(APath), AContent) << APath;
}

// ---- the records shared with the window ----

TEST(ConvertRecord, PresetFillsTheWindowsFields)
{
  TFormat p;
  p.FrameWidth = 320;
  p.FrameHeight = 240;
  p.FrameRate = 30;  // kept in the preset, never used
  p.VideoBitrate = 300000;
  p.AudioBitrate = 64000;
  p.AudioChannels = 1;
  p.AudioFrequency = 22050;
  const TOutputOptions r = ConvertOutputRecord(&p);
  EXPECT_EQ(r.VideoCodecName, "mpeg4");
  EXPECT_EQ(r.AudioCodecName, "libfaac");
  EXPECT_EQ(r.FrameRate, "15");
  EXPECT_EQ(r.FrameSize, "320x240");
  EXPECT_EQ(r.VideoBitrate, 300000);
  EXPECT_EQ(r.AudioBitrate, 64000);
  EXPECT_EQ(r.AudioChannels, 1);
  EXPECT_EQ(r.AudioSampleRate, 22050);

  // Without a preset only the codecs and the rate are asked for.
  const TOutputOptions bare = ConvertOutputRecord(nullptr);
  EXPECT_EQ(bare.VideoCodecName, "mpeg4");
  EXPECT_EQ(bare.FrameRate, "15");
  EXPECT_TRUE(bare.FrameSize.empty());
  EXPECT_EQ(bare.VideoBitrate, -1);
  EXPECT_EQ(bare.AudioSampleRate, -1);

  EXPECT_EQ(ConvertInputRecord("/v/clip.flv").FileName, "/v/clip.flv");
  EXPECT_EQ(ConvertInputRecord("/v/clip.flv").StartPosition, -1);
}

TEST(ConvertRecord, EstimateIsTheProjectedTotal)
{
  EXPECT_DOUBLE_EQ(EstimatedTotalTime(25, 100, 30.0), 120.0);
  EXPECT_DOUBLE_EQ(EstimatedTotalTime(0, 100, 30.0), 0.0);
  EXPECT_LT(EstimatedTotalTime(200, 100, 30.0), 30.0);
  EXPECT_LT(EstimatedTotalTime(25, -100, 30.0), 0.0);
}

// ---- the command ----

TEST_F(Batch, PresetsAreListedAndChosenByNameOrNumber)
{
  const std::string presets = SmallPresets();
  TRun r = RunCli({"presets", "--presets", presets});
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Out, "1\tTiny 160x120\n2\tSmall 176x144\n");

  // The default list is the formats.ini beside the program.
  r = RunCli({"presets"});
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Out.rfind("1\t", 0), 0u) << r.Out;

  const std::string a = MakeFlv("a.flv");
  const std::string b = MakeFlv("b.flv");
  r = RunCli({"convert", "--presets", presets, "--preset", "2", a});
  ASSERT_EQ(r.Code, 0) << r.Err;
  ExpectConverted(Dir.File("a_(new).mp4"), 176, 144, 44100, 2);
  r = RunCli({"convert", "--presets", presets, "--preset=Tiny 160x120", b});
  ASSERT_EQ(r.Code, 0) << r.Err;
  ExpectConverted(Dir.File("b_(new).mp4"), 160, 120, 22050, 1);
  // Without --preset the first one applies, as in the window.
  r = RunCli({"convert", "--presets", presets, b});
  ASSERT_EQ(r.Code, 0) << r.Err;
  ExpectConverted(Dir.File("b_(new_1).mp4"), 160, 120, 22050, 1);

  // Wrong choices stop before anything is written.
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"convert", "--presets", presets, "--preset", "3", a},
        {"convert", "--presets", presets, "--preset", "Nope", a},
        {"convert", "--presets", Dir.File("none.ini"), a},
        {"convert", "--jobs", "0", a},
        {"convert", "--jobs", "x2", a},
        {"convert", "--output-dir", Dir.File("nowhere"), a},
        {"convert", "--bogus", a},
        {"convert"}}) {
    r = RunCli(args);
    EXPECT_EQ(r.Code, 1) << args.back();
    EXPECT_FALSE(r.Err.empty());
  }
  EXPECT_FALSE(qvtest::FileExists(Dir.File("a_(new_1).mp4")));
}

TEST_F(Batch, OutputsAreNamedBesideTheirInputsAndExistingFilesAreSkipped)
{
  const std::string presets = SmallPresets();
  const std::string a = MakeFlv("clip.a.flv");
  std::filesystem::create_directory(Dir.File("sub"));
  const std::string b = MakeFlv("sub/b.flv");
  // The names the rule would pick first are taken.
  const std::string taken = Dir.File("clip.a_(new).mp4");
  qvtest::WriteFile(taken, "not a video");
  const TStamp before = Stamp(taken);

  TRun r = RunCli({"convert", "--presets", presets, "--jobs", "2", a, b, a});
  ASSERT_EQ(r.Code, 0) << r.Err;
  ExpectUntouched(taken, before, "not a video");
  // The same input twice gets two outputs: none written over by the other.
  ExpectConverted(Dir.File("clip.a_(new_1).mp4"), 160, 120, 22050, 1);
  ExpectConverted(Dir.File("clip.a_(new_2).mp4"), 160, 120, 22050, 1);
  ExpectConverted(Dir.File("sub/b_(new).mp4"), 160, 120, 22050, 1);
  // The summary names every file with its output.
  EXPECT_NE(r.Err.find("done    " + b + " -> " + Dir.File("sub/b_(new).mp4")), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("3 files: 3 done, 0 stopped, 0 failed"), std::string::npos) << r.Err;
}

TEST_F(Batch, BadInputsFailAloneAndTheExitCodeIsOne)
{
  const std::string presets = SmallPresets();
  const std::string a = MakeFlv("a.flv");
  const std::string c = MakeFlv("c.flv");
  const std::string missing = Dir.File("missing.flv");
  // A file cut after its header: it opens but holds nothing to convert.
  const std::string cut = Dir.File("cut.flv");
  qvtest::WriteFile(cut, qvtest::ReadFile(a).substr(0, 13));
  const std::string garbage = Dir.File("garbage.flv");
  qvtest::WriteFile(garbage, std::string(4000, '\x5a'));

  TRun r = RunCli({"convert", "--presets", presets, "--jobs", "2", a, missing, c});
  EXPECT_EQ(r.Code, 1) << r.Err;
  ExpectConverted(Dir.File("a_(new).mp4"), 160, 120, 22050, 1);
  ExpectConverted(Dir.File("c_(new).mp4"), 160, 120, 22050, 1);
  EXPECT_NE(r.Err.find("failed  " + missing + ": " + missing + ": no such file or directory"), std::string::npos)
      << r.Err;
  EXPECT_FALSE(qvtest::FileExists(Dir.File("missing_(new).mp4")));
  EXPECT_NE(r.Err.find("3 files: 2 done, 0 stopped, 1 failed"), std::string::npos) << r.Err;

  r = RunCli({"convert", "--presets", presets, cut, garbage, a});
  EXPECT_EQ(r.Code, 1) << r.Err;
  ExpectConverted(Dir.File("a_(new_1).mp4"), 160, 120, 22050, 1);
  EXPECT_NE(r.Err.find("3 files: 1 done, 0 stopped, 2 failed"), std::string::npos) << r.Err;
  // A failed file leaves no output behind that could pass for a conversion.
  for (const char *name : {"cut_(new).mp4", "garbage_(new).mp4"}) {
    qvtest::TMediaInfo info;
    EXPECT_FALSE(qvtest::FileExists(Dir.File(name)) && qvtest::ProbeMedia(Dir.File(name), info)) << name;
  }
}

TEST_F(Batch, FewOpenFilesSplitTheBatchWithoutLosingTrack)
{
  // 80 open files allow two configured tasks at a time: five inputs take
  // several rounds, and every end must still land on its own file.
  const std::string presets = SmallPresets();
  std::vector<std::string> args = {"convert", "--json", "--presets", presets, "--jobs", "2"};
  for (const char *name : {"f0.flv", "f1.flv", "missing.flv", "f3.flv", "f4.flv"})
    args.push_back(std::string(name) == "missing.flv" ? Dir.File(name) : MakeFlv(name, 1.0));
  TRun r = RunCli(args, {}, 80);
  EXPECT_EQ(r.Code, 1) << r.Err;
  std::map<std::string, std::string> ends;
  for (const auto &e : Events(r.Out))
    if (e.at("event") == "end") {
      EXPECT_EQ(e.at("input"), args[6 + std::stoi(e.at("file"))]);
      ends[e.at("file")] = e.at("status");
    }
  EXPECT_EQ(ends, (std::map<std::string, std::string>{
                      {"0", "done"}, {"1", "done"}, {"2", "failed"}, {"3", "done"}, {"4", "done"}}));
  for (const char *out : {"f0_(new).mp4", "f1_(new).mp4", "f3_(new).mp4", "f4_(new).mp4"})
    ExpectConverted(Dir.File(out), 160, 120, 22050, 1);
}

TEST_F(Batch, JsonEventsParseAndDescribeTheRun)
{
  const std::string presets = SmallPresets();
  // Quotes, a backslash, a tab and a byte that is not UTF-8 in a file name.
  const std::string odd = MakeFlv("we\"ird\\na\tme\xff.flv");
  const std::string plain = MakeFlv("plain.flv", 2.0);
  const std::string missing = Dir.File("missing.flv");

  TRun r = RunCli({"convert", "--json", "--presets", presets, "--jobs", "2", odd, missing, plain});
  EXPECT_EQ(r.Code, 1) << r.Err;
  const auto events = Events(r.Out);
  ASSERT_FALSE(events.empty());

  std::map<std::string, std::string> ends;  // file number -> status
  int progress = 0, runEnds = 0;
  for (const auto &e : events) {
    const std::string kind = e.at("event");
    if (kind == "progress") {
      ++progress;
      const int percent = std::stoi(e.at("percent"));
      EXPECT_GE(percent, 0);
      EXPECT_LE(percent, 100);
    } else if (kind == "end") {
      EXPECT_EQ(ends.count(e.at("file")), 0u) << "two ends for file " << e.at("file");
      ends[e.at("file")] = e.at("status");
      if (e.at("file") == "0") {
        // The name comes back as written, its stray byte as U+FFFD.
        EXPECT_EQ(e.at("input"), Dir.File("we\"ird\\na\tme\xEF\xBF\xBD.flv"));
        EXPECT_NE(e.at("size"), "null");
      }
      if (e.at("file") == "1") {
        EXPECT_NE(e.at("message").find("no such file or directory"), std::string::npos);
      }
    } else if (kind == "run_end") {
      ++runEnds;
      EXPECT_EQ(e.at("done"), "2");
      EXPECT_EQ(e.at("failed"), "1");
      EXPECT_EQ(e.at("exit_code"), "1");
    } else {
      EXPECT_TRUE(kind == "log" || kind == "queued") << kind;
    }
  }
  EXPECT_EQ(runEnds, 1);
  EXPECT_EQ(events.back().at("event"), "run_end");
  EXPECT_GT(progress, 0);
  EXPECT_EQ(ends, (std::map<std::string, std::string>{{"0", "done"}, {"1", "failed"}, {"2", "done"}}));
  ExpectConverted(Dir.File("we\"ird\\na\tme\xff_(new).mp4"), 160, 120, 22050, 1);
}

TEST_F(Batch, CtrlCStopsTheBatchAndLeavesPlayableOutputs)
{
  // Long enough that the stop lands in the middle of the first conversions.
  const std::string first = MakeFlv("long1.flv", 60.0, 640, 480);
  std::vector<std::string> args = {"convert", "--json", "--preset", "4", "--jobs", "2"};
  for (int i = 1; i <= 4; ++i) {
    const std::string name = Dir.File("long" + std::to_string(i) + ".flv");
    if (i > 1) std::filesystem::copy_file(first, name);
    args.push_back(name);
  }
  TRun r = RunCli(args, "\"event\":\"progress\"");
  EXPECT_EQ(r.Code, 130) << r.Err;

  int stopped = 0;
  for (const auto &e : Events(r.Out)) {
    if (e.at("event") != "end") continue;
    EXPECT_EQ(e.at("status"), "stopped") << e.at("input");
    ++stopped;
  }
  EXPECT_EQ(stopped, 4);
  // Every output left on disk plays; the first two had started.
  int playable = 0;
  for (int i = 1; i <= 4; ++i) {
    const std::string out = Dir.File("long" + std::to_string(i) + "_(new).mp4");
    if (!qvtest::FileExists(out)) continue;
    SCOPED_TRACE(out);
    qvtest::TMediaInfo info;
    std::string error;
    ASSERT_TRUE(qvtest::ProbeMedia(out, info, &error)) << error;
    ASSERT_NE(info.Find(AVMEDIA_TYPE_VIDEO), nullptr);
    EXPECT_GT(info.Find(AVMEDIA_TYPE_VIDEO)->Packets, 0);
    EXPECT_LT(info.Find(AVMEDIA_TYPE_VIDEO)->Duration, 59.0);  // really cut short
    ++playable;
  }
  EXPECT_GE(playable, 1);
  // The files that never started leave nothing behind.
  EXPECT_FALSE(qvtest::FileExists(Dir.File("long4_(new).mp4")));
  EXPECT_NE(r.Err.find("4 files: 0 done, 4 stopped, 0 failed"), std::string::npos) << r.Err;
}

TEST_F(Batch, OutputFolderNeverOverwritesWithoutYes)
{
  const std::string presets = SmallPresets();
  std::filesystem::create_directory(Dir.File("in"));
  std::filesystem::create_directory(Dir.File("in2"));
  std::filesystem::create_directory(Dir.File("out"));
  const std::string a = MakeFlv("in/a.flv");
  const std::string b = MakeFlv("in/b.flv");
  const std::string b2 = MakeFlv("in2/b.flv");
  const std::string existing = Dir.File("out/a.mp4");
  qvtest::WriteFile(existing, "precious");
  const TStamp before = Stamp(existing);

  TRun r = RunCli({"convert", "--presets", presets, "--output-dir", Dir.File("out"), a, b, b2});
  EXPECT_EQ(r.Code, 1) << r.Err;
  ExpectUntouched(existing, before, "precious");
  EXPECT_NE(r.Err.find("File '" + Dir.File("out") + "/a.mp4' already exists. Use -y to overwrite it."),
            std::string::npos)
      << r.Err;
  ExpectConverted(Dir.File("out/b.mp4"), 160, 120, 22050, 1);
  // The second b.flv would write over the first one's output: it fails instead.
  EXPECT_NE(r.Err.find("clashes with the output of another file"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("3 files: 1 done, 0 stopped, 2 failed"), std::string::npos) << r.Err;

  // -y replaces the existing file, but never an input of the batch.
  const std::string selfInput = Dir.File("out/b.mp4");
  const TStamp selfBefore = Stamp(selfInput);
  const std::string selfContent = qvtest::ReadFile(selfInput);
  r = RunCli({"convert", "-y", "--presets", presets, "--output-dir", Dir.File("out"), a, selfInput});
  EXPECT_EQ(r.Code, 1) << r.Err;
  ExpectConverted(existing, 160, 120, 22050, 1);
  ExpectUntouched(selfInput, selfBefore, selfContent);
  EXPECT_NE(r.Err.find("is an input of this batch"), std::string::npos) << r.Err;
}

}  // namespace
