// quenvaro-cli run as a program: its report against what ffprobe finds, its
// argument rules and its exit codes.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>

#include "TestEnv.h"

namespace {

struct TResult {
  int Code = -1;
  std::string Out;  // stdout and stderr together
};

std::string Quote(const std::string &AText)
{
  std::string q = "'";
  for (char c : AText) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// AStdErr false: stderr is dropped (the libraries may log there).
TResult RunCommand(const std::string &ACmd, bool AStdErr = true)
{
  TResult r;
  FILE *p = popen((ACmd + (AStdErr ? " 2>&1" : " 2>/dev/null")).c_str(), "r");
  if (!p) return r;
  char buf[4096];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.Out.append(buf, n);
  const int status = pclose(p);
  r.Code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

std::string Cli() { return std::string(QV_BIN_DIR) + "/quenvaro-cli"; }

TResult RunCli(const std::string &AArgs, bool AStdErr = true) { return RunCommand(Quote(Cli()) + " " + AArgs, AStdErr); }

std::vector<std::string> Split(const std::string &AText, const std::string &ASep)
{
  std::vector<std::string> out;
  std::size_t pos = 0, e;
  while ((e = AText.find(ASep, pos)) != std::string::npos) {
    out.push_back(AText.substr(pos, e - pos));
    pos = e + ASep.size();
  }
  if (pos < AText.size()) out.push_back(AText.substr(pos));
  return out;
}

// "hh:mm:ss.hh" -> seconds
double ParseDuration(const std::string &AText)
{
  int h = 0, m = 0, s = 0, c = 0;
  if (std::sscanf(AText.c_str(), "%d:%d:%d.%d", &h, &m, &s, &c) != 4) return -1;
  return h * 3600.0 + m * 60.0 + s + c / 100.0;
}

TEST(Cli, VersionAndUsage)
{
  TResult r = RunCli("--version");
  EXPECT_EQ(r.Code, 0);
  EXPECT_EQ(r.Out.rfind("quenvaro-cli 1.", 0), 0u) << r.Out;
  EXPECT_EQ(RunCli("").Code, 1);
}

TEST(Cli, InfoOnEverySampleAgreesWithFfprobe)
{
  if (RunCommand("ffprobe -version").Code != 0) GTEST_SKIP() << "ffprobe not installed";
  for (const std::string &f : qvtest::AllSamples()) {
    SCOPED_TRACE(f);
    TResult r = RunCli("--info " + Quote(f), false);
    ASSERT_EQ(r.Code, 0) << r.Out;
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

    TResult fp = RunCommand("ffprobe -v error -show_entries stream=codec_type,codec_name,width,height,sample_rate,"
                            "r_frame_rate -of compact=p=0:nk=0 " + Quote(f), false);
    ASSERT_EQ(fp.Code, 0) << fp.Out;
    const auto theirs = Split(fp.Out, "\n");
    ASSERT_EQ(streams.size(), theirs.size()) << r.Out << fp.Out;
    for (std::size_t i = 0; i < streams.size(); ++i) {
      std::map<std::string, std::string> kv;
      for (const auto &field : Split(theirs[i], "|")) {
        const auto eq = field.find('=');
        if (eq != std::string::npos) kv[field.substr(0, eq)] = field.substr(eq + 1);
      }
      const std::string &s = streams[i];
      EXPECT_EQ(s.rfind("Stream #" + std::to_string(i), 0), 0u) << s;
      if (kv["codec_type"] == "video") {
        EXPECT_NE(s.find(": Video: " + kv["codec_name"]), std::string::npos) << s;
        EXPECT_NE(s.find(kv["width"] + "x" + kv["height"]), std::string::npos) << s;
        int num = 0, den = 1;
        ASSERT_EQ(std::sscanf(kv["r_frame_rate"].c_str(), "%d/%d", &num, &den), 2);
        char rate[64];
        std::snprintf(rate, sizeof rate, ", %5.2f tb(r)", static_cast<double>(num) / den);
        EXPECT_NE(s.find(rate), std::string::npos) << s << " vs " << rate;
      } else {
        EXPECT_NE(s.find(": Audio: " + kv["codec_name"]), std::string::npos) << s;
        EXPECT_NE(s.find(", " + kv["sample_rate"] + " Hz"), std::string::npos) << s;
      }
    }

    TResult fd = RunCommand("ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 " + Quote(f), false);
    std::string d = fd.Out.substr(0, fd.Out.find('\n'));
    if (d == "N/A") {
      EXPECT_EQ(duration, "N/A");
    } else {
      EXPECT_NEAR(ParseDuration(duration), std::stod(d), 0.011) << duration << " vs " << d;
    }
  }
}

TEST(Cli, InfoFailuresExitOne)
{
  qvtest::TScratchDir dir;
  const std::string missing = dir.File("missing.flv");
  TResult r = RunCli("--info " + Quote(missing));
  EXPECT_EQ(r.Code, 1);
  EXPECT_EQ(r.Out, missing + ": no such file or directory\n");

  const std::string zero = dir.File("zero.flv");
  qvtest::WriteFile(zero, "");
  r = RunCli("--info " + Quote(zero));
  EXPECT_EQ(r.Code, 1);
  EXPECT_EQ(r.Out, zero + ": Unknown format\n");

  // The broken sample lists only its audio and never crashes the report.
  r = RunCli("--info " + Quote(qvtest::Sample("red5-server__h264_aac.flv")));
  EXPECT_EQ(r.Code, 0);
  EXPECT_NE(r.Out.find("Stream #0, 1/1000: Audio: aac"), std::string::npos) << r.Out;
}

TEST(Cli, WithoutLibAVBesideItExitsWithTheLoaderMessage)
{
  qvtest::TScratchDir dir;
  std::filesystem::copy_file(Cli(), dir.File("quenvaro-cli"));
  std::filesystem::permissions(dir.File("quenvaro-cli"), std::filesystem::perms::owner_exec,
                               std::filesystem::perm_options::add);
  TResult r = RunCommand(Quote(dir.File("quenvaro-cli")) + " --info " + Quote(qvtest::Sample("ruffle__dummy.flv")));
  EXPECT_EQ(r.Code, 1);
  EXPECT_EQ(r.Out.rfind("Load libraray libavcodec.so.59 error: ", 0), 0u) << r.Out;
}

TEST(Cli, JobArgumentsAreHandledInOrder)
{
  qvtest::TScratchDir dir;
  const std::string in = Quote(qvtest::Sample("ruffle__dummy.flv"));
  const std::string out = dir.File("out.mp4");

  TResult r = RunCli("-i " + in + " -s 320x241 " + Quote(out));
  EXPECT_EQ(r.Code, 1);
  EXPECT_NE(r.Out.find("Frame size must be a multiple of 2"), std::string::npos) << r.Out;
  EXPECT_FALSE(qvtest::FileExists(out));

  r = RunCli("-threads 2 -i " + in + " " + Quote(out));
  EXPECT_EQ(r.Code, 1);
  EXPECT_NE(r.Out.find("TODO: option - threads"), std::string::npos) << r.Out;

  r = RunCli("-i " + Quote(dir.File("none.flv")) + " " + Quote(out));
  EXPECT_EQ(r.Code, 1);
  EXPECT_NE(r.Out.find(dir.File("none.flv") + ": no such file or directory"), std::string::npos) << r.Out;

  r = RunCli("-i " + in + " -s");
  EXPECT_EQ(r.Code, 1);

  // An existing output is never overwritten without -y.
  qvtest::WriteFile(out, "keep me");
  r = RunCli("-i " + in + " " + Quote(out));
  EXPECT_EQ(r.Code, 1);
  EXPECT_NE(r.Out.find("already exists"), std::string::npos) << r.Out;
  EXPECT_EQ(qvtest::ReadFile(out), "keep me");
}

TEST(Cli, ConversionWithOverwriteFinishes)
{
  qvtest::TScratchDir dir;
  const std::string out = dir.File("out.mp4");
  qvtest::WriteFile(out, "old");
  TResult r = RunCli("-y -i " + Quote(qvtest::Sample("ruffle__netstream_play_flv-test_video.flv")) +
                     " -vcodec mpeg4 -acodec aac -ac 1 " + Quote(out));
  if (r.Code != 0 && r.Out.find("TODO") != std::string::npos) GTEST_SKIP() << "transcoder not complete: " << r.Out;
  EXPECT_EQ(r.Code, 0) << r.Out;
  EXPECT_GT(qvtest::FileSize(out), 1000);
  // The broken sample must fail with a message and leave no empty output.
  const std::string out2 = dir.File("broken.mp4");
  r = RunCli("-i " + Quote(qvtest::Sample("red5-server__h264_aac.flv")) + " " + Quote(out2));
  EXPECT_EQ(r.Code, 1);
  EXPECT_NE(r.Out.find("no audio or video data could be read"), std::string::npos) << r.Out;
}

}  // namespace
