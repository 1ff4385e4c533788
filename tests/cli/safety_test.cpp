// Data safety of every form of quenvaro-cli: no input is ever written over,
// a long queue costs what --jobs costs, a FIFO never holds up the files after
// it, an output lost during the run is a failure, a preset with a bad value
// stops a run before anything is written, and a name that is not UTF-8 keeps
// its bytes in the records.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <filesystem>
#include <thread>

#include "CliTest.h"
#include "TestEnv.h"

namespace {

using namespace clitest;
namespace fs = std::filesystem;
using DataSafety = TBatchFixture;

// Runs the program, killing it when it has not ended within ASeconds.
TRun RunWithin(const TArgs &AArgs, int ASeconds, bool &AInTime)
{
  TChild child(Cli(), AArgs);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(ASeconds);
  AInTime = true;
  while (child.Poll(100)) {
    if (std::chrono::steady_clock::now() > deadline) {
      AInTime = false;
      child.Signal(SIGKILL);
    }
  }
  return child.Wait();
}

// The bytes a percent-encoded name stands for.
std::string Unescape(const std::string &AText)
{
  std::string out;
  for (size_t i = 0; i < AText.size(); ++i) {
    if (AText[i] == '%' && i + 2 < AText.size()) {
      out += static_cast<char>(std::stoi(AText.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += AText[i];
    }
  }
  return out;
}

TEST_F(DataSafety, AnOutputThatIsAnInputIsRefusedInEveryForm)
{
  fs::create_directory(Dir.File("in"));
  fs::create_directory(Dir.File("out"));
  const std::string in = MakeFlv("in/clip.flv");
  const std::string before = Stamp(in);
  // How the output name reaches the input; the single-job form or convert
  // (which names its output out/clip.mp4); what the refusal says after the name.
  struct TCase {
    const char *How;
    std::function<std::string()> Make;
    bool Single;
    std::string Says;
  };
  const std::string same = "' is the same as input '" + in + "'";
  const TCase cases[] = {
      {"same path", [&] { return in; }, true, same},
      {"symlink", [&] { fs::create_symlink(in, Dir.File("out/link.mp4")); return Dir.File("out/link.mp4"); }, true,
       same},
      {"hard link", [&] { fs::create_hard_link(in, Dir.File("out/hard.mp4")); return Dir.File("out/hard.mp4"); },
       true, same},
      // A link resolves to the input's own path, which convert has always refused so.
      {"symlink", [&] { fs::create_symlink(in, Dir.File("out/clip.mp4")); return Dir.File("out/clip.mp4"); }, false,
       "' is an input of this batch"},
      {"hard link", [&] { fs::create_hard_link(in, Dir.File("out/clip.mp4")); return Dir.File("out/clip.mp4"); },
       false, same},
  };
  for (const TCase &c : cases) {
    SCOPED_TRACE(std::string(c.How) + (c.Single ? " (single job)" : " (convert)"));
    const std::string out = c.Make();
    const TRun r = c.Single ? RunCli({"-y", "-i", in, "-vcodec", "mpeg4", "-acodec", "libfaac", "-f", "mp4", out})
                            : RunCli({"convert", "-y", "--jobs", "1", "--presets", Presets(), "--output-dir",
                                      Dir.File("out"), in});
    EXPECT_EQ(r.Code, 1) << r.All();
    EXPECT_TRUE(Has(r.Err, "Output file '" + out + c.Says)) << r.Err;
    EXPECT_TRUE(Stamp(in) == before) << "the input changed";
    if (out != in) fs::remove(out);
  }
}

TEST_F(DataSafety, AQueuedFileCostsItsNameOnly)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers keep freed memory on purpose";
#endif
  const std::string one = MakeFlv("clip.flv", 0.5);
  fs::create_directory(Dir.File("in"));
  std::string list;
  for (int i = 0; i < 300; ++i) {
    const std::string name = Dir.File("in/f" + std::to_string(i) + ".flv");
    fs::copy_file(one, name);
    list += name + "\n";
  }
  qvtest::WriteFile(Dir.File("one.txt"), Dir.File("in/f0.flv") + "\n");
  qvtest::WriteFile(Dir.File("all.txt"), list);
  fs::create_directory(Dir.File("out1"));
  fs::create_directory(Dir.File("out"));
  // One file's run needs few descriptors; the whole queue must fit in as few.
  TChildSetup few;
  few.FileLimit = 40;
  const TRun single = RunCli({"convert", "--jobs", "1", "--presets", Presets(), "--manifest", Dir.File("one.txt"),
                              "--output-dir", Dir.File("out1")}, {}, few);
  ASSERT_EQ(single.Code, 0) << single.All();
  const TRun all = RunCli({"convert", "--jobs", "1", "--presets", Presets(), "--manifest", Dir.File("all.txt"),
                           "--output-dir", Dir.File("out")}, {}, few);
  EXPECT_EQ(all.Code, 0) << all.Err.substr(0, 2000);
  EXPECT_TRUE(Has(all.Err, "300 files: 300 done")) << all.Err.substr(all.Err.size() > 500 ? all.Err.size() - 500 : 0);
  EXPECT_LE(all.PeakKBytes, single.PeakKBytes * 3 / 2) << "one file: " << single.PeakKBytes << " KB";
}

TEST_F(DataSafety, AFifoAmongTheInputsHoldsUpNothing)
{
  const std::string clip = MakeFlv("clip.flv");
  ASSERT_EQ(mkfifo(Dir.File("pipe.flv").c_str(), 0600), 0);
  qvtest::WriteFile(Dir.File("list.txt"), Dir.File("pipe.flv") + "\n" + clip + "\n");
  fs::create_directory(Dir.File("out"));
  const std::string refused = "Input file '" + Dir.File("pipe.flv") + "' is not a regular file (a FIFO)";
  const std::vector<std::pair<TArgs, std::string>> forms = {
      {{"convert", "--jobs", "1", "--presets", Presets(), Dir.File("pipe.flv"), clip}, Dir.File("clip_(new).mp4")},
      {{"convert", "--dry-run", "--presets", Presets(), Dir.File("pipe.flv"), clip}, ""},
      {{"convert", "--jobs", "1", "--presets", Presets(), "--manifest", Dir.File("list.txt"), "--output-dir",
        Dir.File("out")},
       Dir.File("out/clip.mp4")},
  };
  for (const auto &[args, output] : forms) {
    SCOPED_TRACE(args[1]);
    bool inTime = false;
    const TRun r = RunWithin(args, 60, inTime);
    ASSERT_TRUE(inTime) << "still running after a minute";
    EXPECT_NE(r.Code, 0);
    EXPECT_TRUE(Has(r.Err, refused)) << r.Err;
    if (!output.empty()) ExpectConverted(output);
  }
}

TEST_F(DataSafety, AnOutputFolderRemovedDuringTheRunIsAFailure)
{
  const std::string in = MakeFlv("long.flv", 20, 640, 480), paced = MakeFlv("paced.flv", 4);
  struct TCase {
    const char *Form;
    TArgs Args;
    std::string Output;
  };
  const TCase cases[] = {
      {"convert", {"convert", "--jobs", "1", "--threads", "1", "--presets", Presets(), "--output-dir",
                   Dir.File("gone1"), in},
       Dir.File("gone1/long.mp4")},
      // At the input's own pace, so the run outlasts the removal.
      {"single job",
       {"--threads", "1", "-re", "-i", paced, "-vcodec", "mpeg4", "-acodec", "libfaac", Dir.File("gone2/x.mp4")},
       Dir.File("gone2/x.mp4")},
  };
  for (const TCase &c : cases) {
    SCOPED_TRACE(c.Form);
    const std::string folder = fs::path(c.Output).parent_path();
    fs::create_directory(folder);
    TChild child(Cli(), c.Args);
    // Removed once the run has written to it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    struct stat st {};
    while ((stat(c.Output.c_str(), &st) != 0 || st.st_size == 0) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    fs::remove_all(folder);
    const TRun r = child.Wait();
    EXPECT_EQ(r.Code, 1) << r.All();
    EXPECT_TRUE(Has(r.Err, "Output file '" + c.Output + "' could not be finished: it was removed during the conversion"))
        << r.Err;
    EXPECT_FALSE(Has(r.Err, "1 done"));
  }
}

TEST_F(DataSafety, APresetWithABadValueStopsTheRunBeforeAnythingIsWritten)
{
  const std::string in = MakeFlv("clip.flv");
  qvtest::WriteFile(Dir.File("bad.ini"), "[good]\nname=Good\nframe_width=160\nframe_height=120\n"
                                         "[bad]\nname=Bad\nframe_width=160\nframe_height=120\naudio_frequency=0\n");
  const TRun list = RunCli({"presets", "--presets", Dir.File("bad.ini")});
  EXPECT_EQ(list.Code, 0);
  EXPECT_EQ(list.Out, "1\tGood\n2\tBad\tunusable: bad.ini line 9: audio_frequency=0 is not a sample rate\n");
  for (const TArgs &args : {TArgs{"convert", "--presets", Dir.File("bad.ini"), "--preset", "Bad", "--report",
                                  Dir.File("r.jsonl"), in},
                            TArgs{"convert", "--presets", Dir.File("bad.ini"), "--preset", "2", "--dry-run", in}}) {
    const TRun r = RunCli(args);
    EXPECT_EQ(r.Code, 1);
    EXPECT_EQ(r.Err, "The preset 'Bad' cannot be used: bad.ini line 9: audio_frequency=0 is not a sample rate\n");
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(Dir.Path()), fs::directory_iterator()), 2);  // clip, bad.ini
}

TEST_F(DataSafety, ANameThatIsNotUtf8KeepsItsBytesInTheReport)
{
  const std::string name = "caf\xE9 50%.flv";
  const std::string clip = MakeFlv("clip.flv");
  fs::copy_file(clip, Dir.File(name));
  fs::create_directory(Dir.File("out"));
  const TRun r = RunCli({"convert", "--jobs", "1", "--presets", Presets(), "--output-dir", Dir.File("out"), "--report",
                         Dir.File("r.jsonl"), Dir.File(name), clip});
  ASSERT_EQ(r.Code, 0) << r.All();
  const auto records = Events(qvtest::ReadFile(Dir.File("r.jsonl")));
  ASSERT_EQ(records.size(), 2u);
  TEvent e = records[0].at("input") == clip ? records[1] : records[0];
  EXPECT_EQ(e["status"], "done");
  EXPECT_EQ(e["input"], Dir.File("caf\xEF\xBF\xBD 50%.flv"));  // readable, with U+FFFD
  EXPECT_EQ(Unescape(e["input_bytes"]), Dir.File(name));
  EXPECT_EQ(Unescape(e["output_bytes"]), Dir.File("out/caf\xE9 50%.mp4"));
  ExpectConverted(Unescape(e["output_bytes"]));
  // A name that is UTF-8 needs no second field.
  const TEvent plain = records[0].at("input") == clip ? records[0] : records[1];
  EXPECT_EQ(plain.count("input_bytes") + plain.count("output_bytes"), 0u);
}

}  // namespace
