// quenvaro-cli watch as a recording server's converter: files converted only
// once their writers are done with them, restarts that neither redo nor
// lose a file, a flood of files with flat memory, failures reported once.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "CliTest.h"
#include "TestEnv.h"
#include "TestMedia.h"

namespace {

using namespace clitest;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

class Watching : public TBatchFixture {
 protected:
  void SetUp() override
  {
    TBatchFixture::SetUp();
    fs::create_directories(Dir.File("in"));
    fs::create_directories(Dir.File("out"));
    fs::create_directories(Dir.File("src"));
    FPresets = Presets();
  }
  std::string In(const std::string &AName = {}) { return Dir.File("in/" + AName); }
  std::string Out(const std::string &AName = {}) { return Dir.File("out/" + AName); }
  std::string Report() { return Dir.File("report.jsonl"); }

  std::unique_ptr<TChild> Start(const std::string &ASettle, TArgs AExtra = {}, const TChildSetup &ASetup = {})
  {
    TArgs args = {"watch", "--presets", FPresets, "--settle", ASettle, "--output-dir", Out(), "--report", Report()};
    args.insert(args.end(), AExtra.begin(), AExtra.end());
    args.push_back(In());
    auto child = std::make_unique<TChild>(Cli(), args, ASetup);
    EXPECT_TRUE(Until([&] { return Has(child->ErrSoFar(), "Watching '"); }, 10s)) << child->ErrSoFar();
    return child;
  }
  // Stops a watch as systemd does; it must end cleanly.
  TRun Stop(TChild &AChild)
  {
    AChild.Signal(SIGTERM);
    TRun r = AChild.Wait();
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_TRUE(Has(r.Err, "Stopped watching '")) << r.Err;
    return r;
  }
  static bool Until(const std::function<bool()> &ADone, std::chrono::milliseconds ALimit)
  {
    const auto end = std::chrono::steady_clock::now() + ALimit;
    while (!ADone()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }
  std::string ReportText() { return qvtest::FileExists(Report()) ? qvtest::ReadFile(Report()) : std::string(); }
  size_t RecordCount()
  {
    const std::string text = ReportText();
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  }
  std::vector<TEvent> Records() { return ReportText().empty() ? std::vector<TEvent>() : Events(ReportText()); }
  // Input -> its statuses, in the report's order.
  std::map<std::string, std::string> Statuses()
  {
    std::map<std::string, std::string> out;
    for (const auto &r : Records()) out[fs::path(r.at("input")).filename().string()] += r.at("status") + " ";
    return out;
  }
  // The hidden temporaries of the outputs in AFolder.
  static int Temporaries(const std::string &AFolder, long long *ALargest = nullptr)
  {
    int n = 0;
    for (const auto &e : fs::directory_iterator(AFolder))
      if (e.path().filename().string().ends_with(".qvpart")) {
        ++n;
        if (ALargest) *ALargest = std::max(*ALargest, static_cast<long long>(e.file_size()));
      }
    return n;
  }

  std::string FPresets;
};

// ---- when a file is finished ----

// Two recordings written slowly, a chunk every 0.25 s for 3 s (one writer
// keeps its file open, the other closes it after every chunk), must not be
// converted before their last chunk; files moved in or copied at once are.
TEST_F(Watching, FilesAreConvertedOnlyOnceTheirWritersAreDone)
{
  const std::string flv = qvtest::ReadFile(MakeFlv("src/rec.flv", 1.5));
  auto child = Start("1.5", {"--recursive", "--jobs", "2"});
  const int open = ::open(In("open.flv").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(open, 0);
  const size_t steps = 12, chunk = flv.size() / steps + 1;
  for (size_t k = 0; k < steps; ++k) {
    const std::string part = flv.substr(k * chunk, chunk);
    ASSERT_EQ(write(open, part.data(), part.size()), static_cast<ssize_t>(part.size()));
    std::ofstream(In("reopened.flv"), std::ios::app | std::ios::binary) << part;
    std::this_thread::sleep_for(250ms);
    EXPECT_EQ(RecordCount(), 0u) << "converted while written, after chunk " << k;
    EXPECT_EQ(Temporaries(Out()), 0) << "started while written, after chunk " << k;
  }
  close(open);
  // Moved in whole into a folder made after the start, under a name the
  // top folder already has; copied in one go.
  fs::create_directory(In("day2"));
  fs::rename(Dir.File("src/rec.flv"), In("day2/open.flv"));
  qvtest::WriteFile(In("copied.flv"), flv);
  ASSERT_TRUE(Until([&] { return RecordCount() >= 4; }, 30s)) << child->ErrSoFar();
  std::this_thread::sleep_for(500ms);  // nothing more comes
  Stop(*child);

  std::map<std::string, std::string> byPath;
  for (const auto &r : Records()) {
    byPath[r.at("input")] += r.at("status") + " ";
    EXPECT_NEAR(std::stod(r.at("output_duration")), 1.5, 0.15) << r.at("input") << " converted unfinished";
  }
  EXPECT_EQ(byPath, (std::map<std::string, std::string>{{In("open.flv"), "done "},
                                                        {In("reopened.flv"), "done "},
                                                        {In("copied.flv"), "done "},
                                                        {In("day2/open.flv"), "done "}}));
  for (const std::string out : {"open.mp4", "reopened.mp4", "copied.mp4", "day2/open.mp4"}) ExpectConverted(Out(out));
}

// ---- stopping, killing, restarting ----

TEST_F(Watching, RestartsConvertWhatIsMissingOnceAndSkipWhatIsDone)
{
  MakeFlv("in/early.flv", 0.6);
  MakeFlv("in/long.flv", 20.0, 640, 480);
  auto midLong = [&] {
    long long largest = 0;
    return Temporaries(Out(), &largest) > 0 && largest > 0 && qvtest::FileExists(Out("early.mp4"));
  };
  // SIGTERM mid-file: the watch stops it, leaves nothing of it and exits 0.
  auto first = Start("0.2", {"--jobs", "1"});
  ASSERT_TRUE(Until(midLong, 60s)) << first->ErrSoFar();
  Stop(*first);
  EXPECT_EQ(Statuses(), (std::map<std::string, std::string>{{"long.flv", "stopped "}, {"early.flv", "done "}}));
  EXPECT_EQ(Temporaries(Out()), 0);
  EXPECT_FALSE(qvtest::FileExists(Out("long.mp4")));

  // SIGKILL mid-file: its temporary stays, nothing is under its final name.
  auto second = Start("0.2", {"--jobs", "1"});
  EXPECT_TRUE(Has(second->ErrSoFar(), ": 1 file converted before, 0 failed before and unchanged, 1 to convert"))
      << second->ErrSoFar();
  ASSERT_TRUE(Until([&] { long long l = 0; return Temporaries(Out(), &l) > 0 && l > 0; }, 60s));
  second->Signal(SIGKILL);
  EXPECT_EQ(second->Wait().Code, -1);
  EXPECT_EQ(Temporaries(Out()), 1);
  EXPECT_FALSE(qvtest::FileExists(Out("long.mp4")));
  const std::string earlyStamp = Stamp(Out("early.mp4"));

  auto third = Start("0.2", {"--jobs", "1"});
  ASSERT_TRUE(Until([&] { return Statuses()["long.flv"] == "stopped done "; }, 60s)) << third->ErrSoFar();
  Stop(*third);
  EXPECT_EQ(Statuses(), (std::map<std::string, std::string>{{"long.flv", "stopped done "}, {"early.flv", "done "}}));
  EXPECT_EQ(Temporaries(Out()), 0) << "the killed run's temporary is left";
  EXPECT_EQ(Stamp(Out("early.mp4")), earlyStamp);
  ExpectConverted(Out("long.mp4"));
  qvtest::TMediaInfo info;
  ASSERT_TRUE(qvtest::ProbeMedia(Out("long.mp4"), info));
  EXPECT_NEAR(info.Find(AVMEDIA_TYPE_VIDEO)->Duration, 20.0, 0.5);
}

// A file that fails is reported once, again after a restart only when it
// has changed.
TEST_F(Watching, FailedFileIsReportedOnceUntilItChanges)
{
  qvtest::WriteFile(In("bad.flv"), "not a recording");
  auto first = Start("0.2");
  ASSERT_TRUE(Until([&] { return RecordCount() > 0; }, 20s)) << first->ErrSoFar();
  // Opened for writing and closed unchanged: not tried again.
  close(::open(In("bad.flv").c_str(), O_WRONLY | O_CLOEXEC));
  std::this_thread::sleep_for(800ms);
  const TRun r = Stop(*first);
  EXPECT_TRUE(Has(r.Err, In("bad.flv") + ": failed: ")) << r.Err;

  auto second = Start("0.2");
  EXPECT_TRUE(Has(second->ErrSoFar(), ": 0 files converted before, 1 failed before and unchanged, 0 to convert"))
      << second->ErrSoFar();
  std::this_thread::sleep_for(800ms);
  EXPECT_EQ(Statuses(), (std::map<std::string, std::string>{{"bad.flv", "failed "}}));
  // Changed (a recorder that writes it again): tried again, and that
  // failure is reported.
  std::ofstream(In("bad.flv"), std::ios::app) << " still not";
  ASSERT_TRUE(Until([&] { return RecordCount() == 2; }, 20s)) << second->ErrSoFar();
  std::this_thread::sleep_for(500ms);
  Stop(*second);
  const auto records = Records();
  ASSERT_EQ(records.size(), 2u);
  for (const auto &rec : records) {
    EXPECT_EQ(rec.at("status"), "failed");
    EXPECT_TRUE(Has(rec.at("error"), "Unknown format")) << rec.at("error");
  }
  EXPECT_NE(records[0].at("input_size"), records[1].at("input_size"));
}

// ---- many files ----

// 200 files dropped at once after 20 first ones: each converted once, at
// most --jobs at a time, and the watch's peak memory no higher than after
// the first 20, within a few open files.
TEST_F(Watching, FloodOfFilesIsConvertedWithFlatMemory)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers keep freed memory on purpose";
#endif
  const std::string flv = qvtest::ReadFile(MakeFlv("src/tiny.flv", 0.2, 96, 72));
  fs::create_directories(Dir.File("src/flood"));
  TChildSetup few;
  few.FileLimit = 64;
  auto child = Start("0.2", {"--jobs", "2"}, few);
  auto peakKBytes = [&] {
    std::ifstream status("/proc/" + std::to_string(child->Pid()) + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return 0L;
  };
  int running = 0;
  // Dropped as a recorder's mover drops them: renamed in.
  auto drop = [&](const std::string &APrefix, int ACount, size_t AExpected) {
    auto name = [&](int AIndex) { return APrefix + std::to_string(AIndex) + ".flv"; };
    for (int i = 0; i < ACount; ++i) qvtest::WriteFile(Dir.File("src/flood/" + name(i)), flv);
    for (int i = 0; i < ACount; ++i) fs::rename(Dir.File("src/flood/" + name(i)), In(name(i)));
    EXPECT_TRUE(Until(
        [&] {
          running = std::max(running, Temporaries(Out()));
          return RecordCount() >= AExpected;
        },
        60s))
        << RecordCount() << " of " << AExpected;
  };
  drop("warm", 20, 20);
  const long warm = peakKBytes();
  drop("f", 200, 220);
  const long flood = peakKBytes();
  Stop(*child);
  EXPECT_GT(warm, 0);
  EXPECT_LT(flood - warm, 4096) << "peak " << warm << " kB after 20 files, " << flood << " kB after 220";
  EXPECT_LE(running, 2);
  std::map<std::string, std::string> statuses = Statuses();
  EXPECT_EQ(statuses.size(), 220u);
  for (const auto &[input, status] : statuses) EXPECT_EQ(status, "done ") << input;
  int outputs = 0;
  for (const auto &e : fs::directory_iterator(Out())) outputs += e.path().extension() == ".mp4";
  EXPECT_EQ(outputs, 220);
  ExpectConverted(Out("f199.mp4"));
}

// Wrong arguments stop before anything is watched.
TEST_F(Watching, WrongArgumentsAreRefused)
{
  qvtest::WriteFile(Dir.File("file.txt"), "x");
  const std::vector<std::pair<TArgs, std::string>> refused = {
      {{}, "usage:"},
      {{Dir.File("none")}, "The folder '" + Dir.File("none") + "' does not exist"},
      {{Dir.File("file.txt")}, "is not a folder"},
      {{In(), Out()}, "Give one folder to watch"},
      {{"--settle", "soon", In()}, "'soon' is not a valid number of seconds"},
      {{"--settle", "-1", In()}, "'-1' is not a valid number of seconds"},
      {{"--settle", "90000", In()}, "'90000' is not a valid number of seconds"},
      {{"--jobs", "0", In()}, "'0' is not a valid number of jobs"},
      {{"--preset", "nope", In()}, "No preset 'nope'"},
      {{"--output-dir", Dir.File("none"), In()}, "does not exist"},
      {{"--report", Dir.File("none/r.jsonl"), In()}, "Could not open the report"},
      {{"-y", In()}, "Unknown option '-y'"},
  };
  for (const auto &[args, message] : refused) {
    TArgs full = {"watch", "--presets", FPresets};
    full.insert(full.end(), args.begin(), args.end());
    const TRun r = RunCli(full);
    EXPECT_EQ(r.Code, 1) << message;
    EXPECT_TRUE(Has(r.Err, message)) << r.Err;
    EXPECT_FALSE(Has(r.Err, "Watching")) << r.Err;
  }
}

}  // namespace
