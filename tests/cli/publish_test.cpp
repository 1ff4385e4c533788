// Publishing and dates: whatever ends a run of quenvaro-cli (every form) or of
// the window's program, only a complete MP4 appears under a final name, the
// next run leaves no temporary behind, and outputs keep their input's date.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <utime.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "AtomicOutput.h"
#include "CliTest.h"
#include "TestEnv.h"
#include "TestMedia.h"

namespace {

using namespace clitest;
namespace fs = std::filesystem;

// One entry of ffprobe's report on APath; empty on any error.
std::string Probe(const std::string &AEntry, const std::string &APath)
{
  const TRun r = RunProgram("ffprobe", {"-v", "error", "-show_entries", AEntry, "-of", "default=nw=1:nk=1", APath});
  return r.Code == 0 && r.Err.empty() ? r.Out.substr(0, r.Out.find('\n')) : "";
}

class Publishing : public TBatchFixture {
 protected:
  // The temporaries of the output APath, or of every output when APath is a folder.
  static std::vector<std::string> Temporaries(const fs::path &APath)
  {
    const bool folder = fs::is_directory(APath);
    const std::string prefix = folder ? "." : "." + APath.filename().string() + ".";
    std::vector<std::string> found;
    for (const auto &e : fs::directory_iterator(folder ? APath : APath.parent_path())) {
      const std::string name = e.path().filename().string();
      if (name.starts_with(prefix) && (name.ends_with(".qvpart") || name.ends_with(".qvnew")))
        found.push_back(e.path().string());
    }
    return found;
  }
  // Runs quenvaro-cli with AArgs at the lowest priority (so that this test
  // catches it mid-run however loaded the machine is) and sends ASignal once
  // it has written pictures into the temporary of AFinal.
  static TRun SignalledMidRun(const TArgs &AArgs, const std::string &AFinal, int ASignal)
  {
    TArgs niced{"-n", "19", Cli()};
    niced.insert(niced.end(), AArgs.begin(), AArgs.end());
    TChild child("nice", niced);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool writing = false;
    while (!writing && std::chrono::steady_clock::now() < deadline) {
      child.Poll(1);
      for (const std::string &t : Temporaries(AFinal)) writing = writing || qvtest::FileSize(t) > 40000;
    }
    EXPECT_TRUE(writing) << "no output was being written";
    child.Signal(SIGSTOP), child.Signal(ASignal), child.Signal(SIGCONT);
    return child.Wait();
  }
};

// The three forms that write a file (beside the input, into an output folder,
// the one-job command line), one per test. Large pictures of a 20 s input
// make a stop land long before the end.
class EachForm : public Publishing, public ::testing::WithParamInterface<int> {};

TEST_P(EachForm, AStopAFullDiskOrAKillLeavesNothingBrokenUnderTheFinalName)
{
  const std::string in = MakeFlv("long.flv", 20.0), presets = Dir.File("large.ini");
  fs::create_directories(Dir.File("out"));
  qvtest::WriteFile(presets, "[large]\nname=Large\nframe_width=640\nframe_height=480\nvideo_bitrate=2000000\n"
                             "audio_bitrate=32000\naudio_channels=1\naudio_frequency=22050\n");
  const std::pair<std::string, TArgs> forms[] = {
      {Dir.File("long_(new).mp4"), {"convert", "--presets", presets, in}},
      {Dir.File("out/long.mp4"), {"convert", "--presets", presets, "--output-dir", Dir.File("out"), in}},
      {Dir.File("out/one.mp4"),
       {"-i", in, "-vcodec", "mpeg4", "-acodec", "libfaac", "-s", "640x480", "-b", "2000000",
        Dir.File("out/one.mp4")}}};
  TChildSetup full;
  full.FileSizeLimit = 40000;  // the output's first seconds
  const auto &[final, args] = forms[GetParam()];
  // SIGTERM: the shorter playable file.
  TRun r = SignalledMidRun(args, final, SIGTERM);
  EXPECT_EQ(r.Code, 128 + SIGTERM) << r.Err;
  const double length = std::atof(Probe("format=duration", final).c_str());
  EXPECT_TRUE(length > 0 && length < 19.5) << length;  // read cleanly, and not all of it
  EXPECT_TRUE(Temporaries(final).empty());
  fs::remove(final);
  // A full disk: nothing published, no temporary.
  r = RunCli(args, {}, full);
  EXPECT_EQ(r.Code, 1);
  EXPECT_TRUE(Has(r.Err, "File too large")) << r.Err;
  EXPECT_FALSE(fs::exists(final));
  EXPECT_TRUE(Temporaries(final).empty());
  // SIGKILL: nothing under the final name.
  EXPECT_EQ(SignalledMidRun(args, final, SIGKILL).Code, -1);
  EXPECT_FALSE(fs::exists(final));
  EXPECT_EQ(Temporaries(final).size(), 1u) << "the killed run's temporary";
  // The next run writes the same name, from a short input to be quick, and removes it.
  fs::copy_file(MakeFlv("short.flv", 0.5), in, fs::copy_options::overwrite_existing);
  const TRun again = RunCli(args);
  EXPECT_EQ(again.Code, 0) << again.Err;
  EXPECT_TRUE(IsCompleteMp4(final));
  EXPECT_TRUE(Temporaries(final).empty());
}
INSTANTIATE_TEST_SUITE_P(Publishing, EachForm, ::testing::Values(0, 1, 2));

// The window's program: a pick reserves the output's name with a temporary,
// not an empty file, and other conversions respect it; a kill leaves only
// that temporary, which the next run removes; SIGTERM quits and removes it.
TEST_F(Publishing, APickedFileReservesItsNameWithoutAnEmptyOutput)
{
  const std::string in = MakeFlv("clip.flv"), reserved = Dir.File("clip_(new).mp4");
  const std::string window = std::string(QV_BIN_DIR) + "/quenvaro";
  if (!fs::exists(window)) GTEST_SKIP() << "the window is not built";
  TChildSetup offscreen;
  offscreen.Env = {"QT_QPA_PLATFORM=offscreen", "HOME=" + Dir.Path(), "XDG_CONFIG_HOME=" + Dir.File("config"),
                   "XDG_RUNTIME_DIR=" + Dir.Path(), "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent"};
  for (int signal : {SIGKILL, SIGTERM}) {
    SCOPED_TRACE(signal);
    TChild picked(window, {in}, offscreen);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!OutputNameReserved(reserved) && std::chrono::steady_clock::now() < deadline) picked.Poll(5);
    ASSERT_TRUE(OutputNameReserved(reserved)) << "the pick reserved no name";
    EXPECT_EQ(Temporaries(Dir.Path()).size(), 1u) << "a dead window's temporary was left";
    EXPECT_FALSE(fs::exists(reserved)) << "the pick created the output";
    // Converted meanwhile by the command line: the next name of the rule.
    EXPECT_TRUE(Has(RunCli({"convert", "--presets", Presets(), in}).Err, "clip_(new_1).mp4"));
    fs::remove(Dir.File("clip_(new_1).mp4"));
    picked.Signal(signal);
    EXPECT_EQ(picked.Wait().Code, signal == SIGKILL ? -1 : 128 + SIGTERM);
    EXPECT_EQ(Temporaries(Dir.Path()).size(), signal == SIGKILL ? 1u : 0u);
    EXPECT_FALSE(fs::exists(reserved));
  }
  // The next run takes the name the dead window held and leaves no temporary.
  EXPECT_TRUE(Has(RunCli({"convert", "--presets", Presets(), in}).Err, "clip_(new).mp4"));
  EXPECT_TRUE(Temporaries(Dir.Path()).empty());
}

// The creation time comes from onMetaData's date, else from the input's
// modification time; --keep-dates also gives the output the input's times.
TEST_F(Publishing, TheOutputKeepsTheDateItsInputWasMadeOn)
{
  qvtest::TGenOptions o;
  o.VideoCodec = "flv", o.AudioCodec = "libmp3lame", o.Width = 160, o.Height = 120, o.Seconds = 0.5;
  o.Tags = {{"creationdate", "Mon Dec 07 21:25:24 2026"}};
  qvtest::MakeMedia(Dir.File("tagged.flv"), o);
  o.Tags.clear();
  qvtest::MakeMedia(Dir.File("plain.flv"), o);
  const utimbuf old{1262304000, 1577934245};  // accessed 2010-01-01, modified 2020-01-02 03:04:05 UTC
  TChildSetup utc;
  utc.Env = {"TZ=UTC"};
  fs::create_directories(Dir.File("out"));
  const struct { const char *Input; bool KeepDates; const char *Created; } cases[] = {
      {"tagged", false, "2026-12-07T21:25:24.000000Z"},
      {"plain", false, "2020-01-02T03:04:05.000000Z"},
      {"plain", true, "2020-01-02T03:04:05.000000Z"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.Input) + (c.KeepDates ? " --keep-dates" : ""));
    TArgs args{"convert", "--presets", Presets(), "--output-dir", Dir.File("out"), "-y"};
    if (c.KeepDates) args.push_back("--keep-dates");
    args.push_back(Dir.File(std::string(c.Input) + ".flv"));
    utime(args.back().c_str(), &old);
    const TRun r = RunCli(args, {}, utc);
    ASSERT_EQ(r.Code, 0) << r.Err;
    const std::string out = Dir.File("out/" + std::string(c.Input) + ".mp4");
    struct stat st {};
    ASSERT_EQ(stat(out.c_str(), &st), 0);  // before reading it changes its access time
    EXPECT_EQ(Probe("format_tags=creation_time", out), c.Created);
    if (c.KeepDates)
      EXPECT_EQ(std::make_pair(st.st_atime, st.st_mtime), std::make_pair(old.actime, old.modtime));
    else
      EXPECT_GT(st.st_mtime, old.modtime + 3600) << "the output's own time";
  }
}

}  // namespace
