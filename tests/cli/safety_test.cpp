// Data safety in every form of quenvaro-cli: inputs, queue length, special
// files, lost outputs, bad presets, names that are not UTF-8.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "CliTest.h"
#include "TestEnv.h"

namespace {

using namespace clitest;
namespace fs = std::filesystem;
using DataSafety = TBatchFixture;

// True once AHolds does, false when a minute passes first.
bool WithinAMinute(const std::function<bool()> &AHolds)
{
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!AHolds() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  return AHolds();
}

TEST_F(DataSafety, AnOutputThatIsAnInputIsRefusedInEveryForm)
{
  fs::create_directories(Dir.File("in")), fs::create_directories(Dir.File("out"));
  const std::string in = MakeFlv("in/clip.flv"), before = Stamp(in), same = "' is the same as input '" + in + "'";
  // The single job's output ("": convert's out/clip.mp4), a hard link or a
  // symlink to the input, what the refusal says after the name. A symlink
  // resolves to the input's own path, which convert has always refused so.
  const std::tuple<std::string, bool, std::string> cases[] = {
      {in, false, same}, {Dir.File("out/l.mp4"), false, same}, {Dir.File("out/h.mp4"), true, same},
      {"", false, "' is an input of this batch"}, {"", true, same}};
  for (auto [out, hard, says] : cases) {
    const bool single = !out.empty();
    if (!single) out = Dir.File("out/clip.mp4");
    SCOPED_TRACE(out + (hard ? " hard" : ""));
    if (out != in) hard ? fs::create_hard_link(in, out) : fs::create_symlink(in, out);
    const TRun r = single ? RunCli({"-y", "-i", in, "-vcodec", "mpeg4", "-acodec", "libfaac", "-f", "mp4", out})
                          : RunCli({"convert", "-y", "--presets", Presets(), "--output-dir", Dir.File("out"), in});
    EXPECT_EQ(r.Code, 1);
    EXPECT_TRUE(Has(r.Err, "Output file '" + out + says)) << r.Err;
    EXPECT_TRUE(Stamp(in) == before) << "the input changed";
    if (out != in) fs::remove(out);
  }
}

TEST_F(DataSafety, AQueuedFileCostsItsNameOnly)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers keep freed memory on purpose";
#endif
  std::string list, one = MakeFlv("clip.flv", 0.5);
  for (int i = 0; i < 300; ++i)  // one's run, then the whole queue's: one file done before
    fs::copy_file(one, Dir.File(std::to_string(i) + ".flv")), list += Dir.File(std::to_string(i) + ".flv\n");
  TChildSetup few;  // what one file's run needs, and the whole queue's too
  few.FileLimit = 40;
  TRun runs[2];
  for (int i : {0, 1}) {
    qvtest::WriteFile(Dir.File("list"), i ? list : list.substr(0, list.find('\n') + 1));
    runs[i] = RunCli({"convert", "--jobs", "1", "--presets", Presets(), "--manifest", Dir.File("list")}, {}, few);
    EXPECT_EQ(runs[i].Code, 0) << runs[i].Err.substr(0, 1000);
  }
  EXPECT_TRUE(Has(runs[1].Err, "300 files: 299 done, 0 stopped, 0 failed, 1 skipped"));
  EXPECT_LE(runs[1].PeakKBytes, runs[0].PeakKBytes * 3 / 2) << "one file: " << runs[0].PeakKBytes << " KB";
}

TEST_F(DataSafety, AFifoAmongTheInputsHoldsUpNothing)
{
  const std::string clip = MakeFlv("clip.flv"), fifo = Dir.File("pipe.flv"), presets = Presets();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  qvtest::WriteFile(Dir.File("list"), fifo + "\n" + clip + "\n");
  for (const TArgs &args : {TArgs{"convert", "--presets", presets, "--dry-run", fifo, clip},
                            TArgs{"convert", "--presets", presets, fifo, clip},
                            TArgs{"convert", "--presets", presets, "-y", "--manifest", Dir.File("list")}}) {
    SCOPED_TRACE(args[3]);
    TChild child(Cli(), args);
    ASSERT_TRUE(WithinAMinute([&] { return !child.Poll(0); })) << "still running after a minute";
    const TRun r = child.Wait();
    EXPECT_TRUE(r.Code != 0 && Has(r.Err, "Input file '" + fifo + "' is not a regular file (a FIFO)")) << r.Err;
    EXPECT_TRUE(Has(r.Err, args[3] == "--dry-run" ? "1 failed" : "1 done")) << r.Err;
  }
  ExpectConverted(Dir.File("clip_(new).mp4"));
}

TEST_F(DataSafety, AnOutputFolderRemovedDuringTheRunIsAFailure)
{
  // The single job at the input's own pace, so that it outlasts the removal.
  const std::pair<TArgs, std::string> forms[] = {
      {{"convert", "--threads", "1", "--presets", Presets(), "--output-dir", Dir.File("a"),
        MakeFlv("long.flv", 20, 640, 480)},
       Dir.File("a/long.mp4")},
      {{"-re", "-i", MakeFlv("paced.flv", 4), "-vcodec", "mpeg4", "-acodec", "libfaac", Dir.File("b/x.mp4")},
       Dir.File("b/x.mp4")}};
  for (const auto &[args, output] : forms) {
    fs::create_directory(fs::path(output).parent_path());
    TChild child(Cli(), args);
    // Written under a temporary beside its final name.
    auto writing = [&] {
      std::error_code ec;
      // A temporary renamed under the iterator fails its size: not written yet.
      for (const auto &e : fs::directory_iterator(fs::path(output).parent_path(), ec))
        if (const auto size = e.file_size(ec); !ec && size > 0) return true;
      return false;
    };
    EXPECT_TRUE(WithinAMinute(writing));
    fs::remove_all(fs::path(output).parent_path());  // once the run has written to it
    const TRun r = child.Wait();
    EXPECT_EQ(r.Code, 1);
    EXPECT_TRUE(Has(r.Err, "Output file '" + output + "' could not be finished: it was removed during the conversion"))
        << r.Err;
  }
}

TEST_F(DataSafety, APresetWithABadValueStopsTheRunBeforeAnythingIsWritten)
{
  const std::string in = MakeFlv("clip.flv"), ini = Dir.File("bad.ini"),
                    why = "bad.ini line 5: audio_frequency=0 is not a sample rate";
  qvtest::WriteFile(ini, "[good]\nname=Good\n[bad]\nname=Bad\naudio_frequency=0\n");
  EXPECT_EQ(RunCli({"presets", "--presets", ini}).Out, "1\tGood\n2\tBad\tunusable: " + why + "\n");
  const TRun r = RunCli({"convert", "--presets", ini, "--preset", "2", "--report", Dir.File("r"), in});
  EXPECT_EQ(std::to_string(r.Code) + " " + r.Err, "1 The preset 'Bad' cannot be used: " + why + "\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(Dir.Path()), fs::directory_iterator()), 2);  // clip, bad.ini
}

TEST_F(DataSafety, ANameThatIsNotUtf8KeepsItsBytesInTheReport)
{
  const std::string clip = MakeFlv("clip.flv"), name = Dir.File("caf\xE9 50%.flv");
  fs::copy_file(clip, name);
  const TRun r = RunCli({"convert", "--presets", Presets(), "--report", Dir.File("r.jsonl"), name, clip});
  ASSERT_EQ(r.Code, 0) << r.All();
  auto records = Events(qvtest::ReadFile(Dir.File("r.jsonl")));
  ASSERT_EQ(records.size(), 2u);
  if (records[0]["input"] == clip) std::swap(records[0], records[1]);
  EXPECT_EQ(records[0]["input"], Dir.File("caf\xEF\xBF\xBD 50%.flv"));  // readable, U+FFFD in place
  EXPECT_EQ(records[0]["input_bytes"], Dir.File("caf%E9 50%25.flv"));
  EXPECT_EQ(records[0]["output_bytes"], Dir.File("caf%E9 50%25_(new).mp4"));
  ExpectConverted(Dir.File("caf\xE9 50%_(new).mp4"));
  EXPECT_EQ(records[1].count("input_bytes") + records[1].count("output_bytes"), 0u);  // UTF-8 needs none
}

}  // namespace
