// Data safety of every form of quenvaro-cli: no input is written over, a long
// queue costs what --jobs costs, a FIFO holds up nothing, a lost output is a
// failure, a bad preset stops a run before it writes, a name that is not
// UTF-8 keeps its bytes in the records.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "CliTest.h"
#include "TestEnv.h"

namespace {

using namespace clitest;
namespace fs = std::filesystem;
using DataSafety = TBatchFixture;
using TClock = std::chrono::steady_clock;

TEST_F(DataSafety, AnOutputThatIsAnInputIsRefusedInEveryForm)
{
  fs::create_directories(Dir.File("in"));
  fs::create_directories(Dir.File("out"));
  const std::string in = MakeFlv("in/clip.flv"), before = Stamp(in), same = "' is the same as input '" + in + "'";
  // The output name (convert names its own out/clip.mp4), how it reaches the
  // input, and what the refusal says after the name. A symlink resolves to
  // the input's own path, which convert has always refused so.
  const std::tuple<std::string, bool, std::string> cases[] = {
      {in, false, same},           {Dir.File("out/l.mp4"), false, same},    {Dir.File("out/h.mp4"), true, same},
      {"convert", false, "' is an input of this batch"},                     {"convert", true, same}};
  for (auto [out, hard, says] : cases) {
    const bool single = out != "convert";
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
  for (int i = 0; i < 300; ++i) {
    const std::string copy = Dir.File(std::to_string(i) + ".flv");
    fs::copy_file(one, copy), list += copy + "\n";
  }
  qvtest::WriteFile(Dir.File("0"), list.substr(0, list.find('\n') + 1));
  qvtest::WriteFile(Dir.File("1"), list);
  TChildSetup few;  // what one file's run needs, and the whole queue's too
  few.FileLimit = 40;
  TRun runs[2];
  for (const std::string i : {"0", "1"}) {
    fs::create_directory(Dir.File("out" + i));
    runs[i == "1"] = RunCli({"convert", "--jobs", "1", "--presets", Presets(), "--manifest", Dir.File(i),
                             "--output-dir", Dir.File("out" + i)}, {}, few);
    EXPECT_EQ(runs[i == "1"].Code, 0) << runs[i == "1"].Err.substr(0, 1000);
  }
  EXPECT_TRUE(Has(runs[1].Err, "300 files: 300 done"));
  EXPECT_LE(runs[1].PeakKBytes, runs[0].PeakKBytes * 3 / 2) << "one file: " << runs[0].PeakKBytes << " KB";
}

TEST_F(DataSafety, AFifoAmongTheInputsHoldsUpNothing)
{
  const std::string clip = MakeFlv("clip.flv"), fifo = Dir.File("pipe.flv");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  qvtest::WriteFile(Dir.File("list.txt"), fifo + "\n" + clip + "\n");
  fs::create_directory(Dir.File("out"));
  const std::pair<TArgs, std::string> forms[] = {
      {{"convert", "--presets", Presets(), fifo, clip}, Dir.File("clip_(new).mp4")},
      {{"convert", "--dry-run", "--presets", Presets(), fifo, clip}, ""},
      {{"convert", "--presets", Presets(), "--manifest", Dir.File("list.txt"), "--output-dir", Dir.File("out")},
       Dir.File("out/clip.mp4")}};
  for (const auto &[args, output] : forms) {
    SCOPED_TRACE(args[1]);
    TChild child(Cli(), args);
    const auto deadline = TClock::now() + std::chrono::seconds(60);
    while (child.Poll(100) && TClock::now() < deadline) {
    }
    ASSERT_LT(TClock::now(), deadline) << "still running after a minute";
    const TRun r = child.Wait();
    EXPECT_NE(r.Code, 0);
    EXPECT_TRUE(Has(r.Err, "Input file '" + fifo + "' is not a regular file (a FIFO)")) << r.Err;
    if (!output.empty()) ExpectConverted(output);
  }
}

TEST_F(DataSafety, AnOutputFolderRemovedDuringTheRunIsAFailure)
{
  const std::string in = MakeFlv("long.flv", 20, 640, 480), paced = MakeFlv("paced.flv", 4);
  // The single job at the input's own pace, so that the run outlasts the removal.
  const std::pair<TArgs, std::string> forms[] = {
      {{"convert", "--threads", "1", "--presets", Presets(), "--output-dir", Dir.File("gone1"), in},
       Dir.File("gone1/long.mp4")},
      {{"--threads", "1", "-re", "-i", paced, "-vcodec", "mpeg4", "-acodec", "libfaac", Dir.File("gone2/x.mp4")},
       Dir.File("gone2/x.mp4")}};
  for (const auto &[args, output] : forms) {
    SCOPED_TRACE(output);
    fs::create_directory(fs::path(output).parent_path());
    TChild child(Cli(), args);
    const auto deadline = TClock::now() + std::chrono::seconds(60);
    struct stat st {};
    while ((stat(output.c_str(), &st) != 0 || st.st_size == 0) && TClock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
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
  for (const TArgs &args : {TArgs{"convert", "--presets", ini, "--preset", "Bad", "--report", Dir.File("r"), in},
                            TArgs{"convert", "--presets", ini, "--preset", "2", "--dry-run", in}}) {
    const TRun r = RunCli(args);
    EXPECT_EQ(r.Code, 1);
    EXPECT_EQ(r.Err, "The preset 'Bad' cannot be used: " + why + "\n");
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(Dir.Path()), fs::directory_iterator()), 2);  // clip, bad.ini
}

TEST_F(DataSafety, ANameThatIsNotUtf8KeepsItsBytesInTheReport)
{
  const std::string clip = MakeFlv("clip.flv"), name = Dir.File("caf\xE9 50%.flv");
  fs::copy_file(clip, name);
  fs::create_directory(Dir.File("out"));
  const TRun r = RunCli({"convert", "--presets", Presets(), "--output-dir", Dir.File("out"), "--report",
                         Dir.File("r.jsonl"), name, clip});
  ASSERT_EQ(r.Code, 0) << r.All();
  auto records = Events(qvtest::ReadFile(Dir.File("r.jsonl")));
  ASSERT_EQ(records.size(), 2u);
  if (records[0]["input"] == clip) std::swap(records[0], records[1]);
  EXPECT_EQ(records[0]["input"], Dir.File("caf\xEF\xBF\xBD 50%.flv"));  // readable, U+FFFD in place
  EXPECT_EQ(records[0]["input_bytes"], Dir.File("caf%E9 50%25.flv"));
  EXPECT_EQ(records[0]["output_bytes"], Dir.File("out/caf%E9 50%25.mp4"));
  ExpectConverted(Dir.File("out/caf\xE9 50%.mp4"));
  EXPECT_EQ(records[1].count("input_bytes") + records[1].count("output_bytes"), 0u);  // UTF-8 needs none
}

}  // namespace
