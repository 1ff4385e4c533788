// Publishing and dates: whatever ends a run of quenvaro-cli (every form) or
// of the window's program, nothing but a complete MP4 appears under a final
// name, and the next run leaves no temporary behind; outputs keep the date
// their input was made on.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <utime.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "AtomicOutput.h"
#include "CliTest.h"
#include "TestEnv.h"
#include "TestMedia.h"

namespace {

using namespace clitest;
namespace fs = std::filesystem;

class Publishing : public TBatchFixture {
 protected:
  void SetUp() override
  {
    TBatchFixture::SetUp();
    fs::create_directories(Dir.File("in")), fs::create_directories(Dir.File("out"));
  }

  // Twenty seconds of video, long enough to be caught converting.
  std::string Long()
  {
    if (!qvtest::FileExists(Dir.File("in/long.flv"))) MakeFlv("in/long.flv", 20.0, 320, 240);
    return Dir.File("in/long.flv");
  }

  static bool IsTemporary(const std::string &AName)
  {
    return AName[0] == '.' && (AName.ends_with(".qvpart") || AName.ends_with(".qvnew"));
  }
  // The temporaries in AFolder; of the output AFinal (a name in it) only, when given.
  std::vector<std::string> Temporaries(const std::string &AFolder, const std::string &AFinal = {})
  {
    std::vector<std::string> found;
    const std::string prefix = "." + fs::path(AFinal).filename().string() + ".";
    for (const auto &e : fs::directory_iterator(Dir.File(AFolder))) {
      const std::string name = e.path().filename().string();
      if (IsTemporary(name) && (AFinal.empty() || name.starts_with(prefix))) found.push_back(e.path().string());
    }
    return found;
  }
  // Waits until AChild has written pictures into its output's temporary in
  // AFolder (not one of AOld; past the header and the first buffer), freezes
  // it there and sends ASignal: the signal lands mid-run.
  void SignalMidRun(TChild &AChild, const std::string &AFolder, int ASignal, const std::vector<std::string> &AOld)
  {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool writing = false;
    while (!writing && std::chrono::steady_clock::now() < deadline) {
      AChild.Poll(1);
      for (const std::string &t : Temporaries(AFolder))
        writing = writing || (qvtest::FileSize(t) > 40000 && std::find(AOld.begin(), AOld.end(), t) == AOld.end());
    }
    ASSERT_TRUE(writing) << "no output was being written";
    AChild.Signal(SIGSTOP);
    AChild.Signal(ASignal);
    AChild.Signal(SIGCONT);
  }

  // quenvaro-cli with AArgs at the lowest priority, so that this test, busy
  // watching it, catches it mid-run however loaded the machine is.
  static TArgs Niced(TArgs AArgs)
  {
    AArgs.insert(AArgs.begin(), {"-n", "19", Cli()});
    return AArgs;
  }

  // The three forms that write a file: the folder they write to, the final
  // name, the arguments.
  struct TForm {
    const char *Name, *Folder, *Final;
    TArgs Args;
  };
  // Large pictures make each second slow enough to convert that a stop is
  // seen long before the end.
  std::vector<TForm> Forms()
  {
    const std::string in = Long(), presets = Dir.File("large.ini");
    qvtest::WriteFile(presets, "[large]\nname=Large\nframe_width=640\nframe_height=480\nvideo_bitrate=2000000\n"
                               "audio_bitrate=32000\naudio_channels=1\naudio_frequency=22050\n");
    return {{"beside the input", "in", "in/long_(new).mp4", {"convert", "--presets", presets, in}},
            {"output folder", "out", "out/long.mp4",
             {"convert", "--presets", presets, "--output-dir", Dir.File("out"), in}},
            {"one job", "out", "out/one.mp4",
             {"-i", in, "-vcodec", "mpeg4", "-acodec", "libfaac", "-s", "640x480", "-b", "2000000",
              Dir.File("out/one.mp4")}}};
  }
};

TEST_F(Publishing, AKilledRunLeavesNoFinalNameAndTheNextRunRemovesItsTemporary)
{
  const std::vector<TForm> forms = Forms();
  for (const TForm &form : forms) {
    SCOPED_TRACE(form.Name);
    const std::vector<std::string> old = Temporaries(form.Folder);
    TChild child("nice", Niced(form.Args));
    SignalMidRun(child, form.Folder, SIGKILL, old);
    EXPECT_EQ(child.Wait().Code, -1);
    EXPECT_FALSE(fs::exists(Dir.File(form.Final)));
  }
  EXPECT_EQ(Temporaries("in").size() + Temporaries("out").size(), 3u) << "the killed runs' temporaries";
  // The next runs write the same names, from a short input to be quick.
  fs::copy_file(MakeFlv("short.flv", 0.5), Long(), fs::copy_options::overwrite_existing);
  for (const TForm &form : forms) {
    SCOPED_TRACE(form.Name);
    const TRun again = RunCli(form.Args);
    EXPECT_EQ(again.Code, 0) << again.Err;
    EXPECT_TRUE(IsCompleteMp4(Dir.File(form.Final)));
    EXPECT_TRUE(Temporaries(form.Folder, form.Final).empty());
    fs::remove(Dir.File(form.Final));
  }
}

TEST_F(Publishing, SigtermPublishesTheShorterPlayableFile)
{
  for (const TForm &form : Forms()) {
    SCOPED_TRACE(form.Name);
    TChild child("nice", Niced(form.Args));
    SignalMidRun(child, form.Folder, SIGTERM, {});
    const TRun r = child.Wait();
    EXPECT_EQ(r.Code, 128 + SIGTERM) << r.Err;
    EXPECT_TRUE(IsCompleteMp4(Dir.File(form.Final)));
    const TRun length = RunProgram("ffprobe", {"-v", "error", "-show_entries", "format=duration", "-of",
                                               "default=nw=1:nk=1", Dir.File(form.Final)});
    EXPECT_TRUE(length.Code == 0 && length.Err.empty()) << length.Err;
    EXPECT_LT(std::atof(length.Out.c_str()), 19.5) << "the whole input was converted";
    EXPECT_TRUE(Temporaries(form.Folder).empty());
    fs::remove(Dir.File(form.Final));
  }
}

TEST_F(Publishing, AFullDiskPublishesNothingAndLeavesNoTemporary)
{
  TChildSetup full;
  full.FileSizeLimit = 40000;  // the output's first seconds
  for (const TForm &form : Forms()) {
    SCOPED_TRACE(form.Name);
    const TRun r = RunCli(form.Args, {}, full);
    EXPECT_EQ(r.Code, 1);
    EXPECT_TRUE(Has(r.Err, "File too large")) << r.Err;
    EXPECT_FALSE(fs::exists(Dir.File(form.Final)));
    EXPECT_TRUE(Temporaries(form.Folder).empty());
  }
}

// The window's program: a pick reserves the output's name with a temporary
// (no empty file), which another conversion respects; a kill leaves only
// that temporary, which the next run removes; SIGTERM quits and removes it.
TEST_F(Publishing, APickedFileReservesItsNameWithoutAnEmptyOutput)
{
  const std::string in = MakeFlv("in/clip.flv");
  TChildSetup offscreen;
  offscreen.Env = {"QT_QPA_PLATFORM=offscreen", "HOME=" + Dir.Path(), "XDG_CONFIG_HOME=" + Dir.File("config"),
                   "XDG_RUNTIME_DIR=" + Dir.Path(), "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent"};
  const std::string window = std::string(QV_BIN_DIR) + "/quenvaro";
  if (!fs::exists(window)) GTEST_SKIP() << "the window is not built";
  for (int signal : {SIGKILL, SIGTERM}) {
    SCOPED_TRACE(signal);
    TChild picked(window, {in}, offscreen);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!OutputNameReserved(Dir.File("in/clip_(new).mp4")) && std::chrono::steady_clock::now() < deadline)
      picked.Poll(5);
    ASSERT_TRUE(OutputNameReserved(Dir.File("in/clip_(new).mp4"))) << "the pick reserved no name";
    EXPECT_EQ(Temporaries("in").size(), 1u) << "a dead window's temporary was left";
    EXPECT_FALSE(fs::exists(Dir.File("in/clip_(new).mp4"))) << "the pick created the output";
    // Converted meanwhile by the command line: the next name of the rule.
    const TRun other = RunCli({"convert", "--presets", Presets(), in});
    EXPECT_TRUE(Has(other.Err, "clip_(new_1).mp4")) << other.Err;
    fs::remove(Dir.File("in/clip_(new_1).mp4"));
    picked.Signal(signal);
    EXPECT_EQ(picked.Wait().Code, signal == SIGKILL ? -1 : 128 + SIGTERM);
    EXPECT_EQ(Temporaries("in").size(), signal == SIGKILL ? 1u : 0u);
    EXPECT_FALSE(fs::exists(Dir.File("in/clip_(new).mp4")));
  }
  // The next run takes the name the dead window held and leaves no temporary.
  const TRun next = RunCli({"convert", "--presets", Presets(), in});
  EXPECT_TRUE(Has(next.Err, "clip_(new).mp4")) << next.Err;
  EXPECT_TRUE(Temporaries("in").empty());
}

// ---- dates ----

// The creation time the MP4 holds, as ffprobe reads it.
std::string CreationTime(const std::string &APath)
{
  const TRun r = RunProgram("ffprobe", {"-v", "error", "-show_entries", "format_tags=creation_time", "-of",
                                        "default=nw=1:nk=1", APath});
  return r.Out.substr(0, r.Out.find('\n'));
}

TEST_F(Publishing, TheOutputKeepsTheDateItsInputWasMadeOn)
{
  const std::string made = "Mon Dec 07 21:25:24 2026";
  qvtest::TGenOptions o;
  o.VideoCodec = "flv", o.AudioCodec = "libmp3lame", o.Width = 160, o.Height = 120, o.Seconds = 0.5;
  o.Tags = {{"creationdate", made}};
  qvtest::MakeMedia(Dir.File("in/tagged.flv"), o);
  o.Tags.clear();
  qvtest::MakeMedia(Dir.File("in/plain.flv"), o);
  // Modified long before anything now: accessed 2010-01-01, modified 2020-01-02 03:04:05 UTC.
  const utimbuf old{1262304000, 1577934245};
  TChildSetup utc;
  utc.Env = {"TZ=UTC"};
  // onMetaData's date, else the file's; --keep-dates also gives the output the input's times.
  const struct {
    const char *Input;
    bool KeepDates;
    const char *Created;
  } cases[] = {{"tagged", false, "2026-12-07T21:25:24.000000Z"},
               {"plain", false, "2020-01-02T03:04:05.000000Z"},
               {"plain", true, "2020-01-02T03:04:05.000000Z"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.Input) + (c.KeepDates ? " --keep-dates" : ""));
    TArgs args{"convert", "--presets", Presets(), "--output-dir", Dir.File("out"), "-y"};
    if (c.KeepDates) args.push_back("--keep-dates");
    args.push_back(Dir.File("in/" + std::string(c.Input) + ".flv"));
    utime(args.back().c_str(), &old);
    const TRun r = RunCli(args, {}, utc);
    ASSERT_EQ(r.Code, 0) << r.Err;
    const std::string out = Dir.File("out/" + std::string(c.Input) + ".mp4");
    struct stat st {};
    ASSERT_EQ(stat(out.c_str(), &st), 0);  // before reading it changes its access time
    EXPECT_EQ(CreationTime(out), c.Created);
    if (c.KeepDates)
      EXPECT_EQ(std::make_pair(st.st_atime, st.st_mtime), std::make_pair(old.actime, old.modtime));
    else
      EXPECT_GT(st.st_mtime, old.modtime + 3600) << "the output's own time";
  }
}

}  // namespace
