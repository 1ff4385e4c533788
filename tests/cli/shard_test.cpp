// quenvaro-cli convert as a scheduler's job: inputs from a manifest, shards
// chosen by hand or from a Kubernetes or Slurm environment, outputs that
// appear only when complete, reruns that pick up where a killed run left off,
// and the per-shard report.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <tuple>

#include "CliTest.h"
#include "TestEnv.h"
#include "TestMedia.h"

namespace {

using namespace clitest;
namespace fs = std::filesystem;
using Shards = TBatchFixture;

// Scheduler variables cleared in every child, so the machine running the
// tests (a CI job under Slurm or Kubernetes, say) cannot steer them.
const std::vector<std::string> SchedulerVariables = {"JOB_COMPLETION_INDEX", "SLURM_ARRAY_TASK_ID",
                                                     "SLURM_ARRAY_TASK_COUNT", "SLURM_ARRAY_TASK_MIN",
                                                     "SLURM_ARRAY_TASK_STEP"};

TChildSetup WithEnv(std::vector<std::string> AEnv)
{
  TChildSetup s;
  s.Env = SchedulerVariables;
  s.Env.insert(s.Env.end(), AEnv.begin(), AEnv.end());
  return s;
}

std::set<std::string> FileNumbers(const std::vector<TEvent> &ARecords)
{
  std::set<std::string> out;
  for (const auto &r : ARecords) out.insert(r.at("file"));
  return out;
}

// The hidden temporaries in AFolder: names ending in .qvpart or .qvnew.
std::set<std::string> Temporaries(const std::string &AFolder)
{
  std::set<std::string> out;
  for (const auto &e : fs::directory_iterator(AFolder)) {
    const std::string n = e.path().filename().string();
    if (n.ends_with(".qvpart") || n.ends_with(".qvnew")) out.insert(n);
  }
  return out;
}

// Looks at a folder again and again while conversions run: every file under
// a final name (*.mp4, not hidden) must play in ffprobe when first seen and
// never change afterwards. An output written in place would be caught
// growing, or without its index.
class TFinalNameWatch {
 public:
  explicit TFinalNameWatch(std::string AFolder) : FFolder(std::move(AFolder)) {}

  void Look()
  {
    ++FLooks;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(FFolder, ec)) {
      const std::string n = e.path().filename().string();
      if (n[0] == '.' || !n.ends_with(".mp4")) continue;
      const long long size = qvtest::FileSize(e.path().string());
      const auto seen = FSizes.find(n);
      if (seen == FSizes.end()) {
        FSizes[n] = size;
        const TRun p = RunProgram("ffprobe", {"-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0",
                                              e.path().string()});
        EXPECT_TRUE(p.Code == 0 && p.Err.empty()) << n << " is incomplete under its final name: " << p.Err;
      } else {
        EXPECT_EQ(size, seen->second) << n << " changed under its final name";
      }
    }
  }
  // Runs AChild to its end, looking between its outputs; AKillWhen (on its
  // stdout so far) true sends it SIGKILL.
  TRun Watch(TChild &AChild, const std::function<bool(const std::string &)> &AKillWhen = {})
  {
    bool killed = false;
    while (AChild.Poll(5)) {
      Look();
      if (!killed && AKillWhen && AKillWhen(AChild.Out())) {
        AChild.Signal(SIGKILL);
        killed = true;
      }
    }
    Look();
    return AChild.Wait();
  }
  int Looks() const { return FLooks; }

 private:
  std::string FFolder;
  std::map<std::string, long long> FSizes;
  int FLooks = 0;
};

// ---- choosing the files ----

// Inputs that do not exist fail at once, so the report shows which files a
// shard took without converting anything.
TEST_F(Shards, ManifestLinesAreSplitTheSameWayByHandAndFromTheScheduler)
{
  std::string manifest;
  std::vector<std::string> inputs;
  for (int i = 0; i < 8; ++i) {
    inputs.push_back(Dir.File("in/m" + std::to_string(i) + ".flv"));
    // Blank lines are not files; a CRLF line ends like an LF one.
    manifest += inputs.back() + (i == 3 ? "\r\n\n" : "\n");
  }
  qvtest::WriteFile(Dir.File("list.txt"), "\n" + manifest);
  int run = 0;
  // The file numbers a shard took, from its report; every record checked.
  auto took = [&](TArgs AArgs, const TChildSetup &ASetup) {
    const std::string report = Dir.File("r" + std::to_string(++run) + ".jsonl");
    AArgs.insert(AArgs.begin(), {"convert", "--report", report});
    const TRun r = RunCli(AArgs, {}, ASetup);
    EXPECT_EQ(r.Code, 2) << r.Err;  // every input fails; the run itself went through
    const auto records = Events(qvtest::ReadFile(report));
    for (const auto &rec : records) {
      SCOPED_TRACE(rec.at("file"));
      EXPECT_EQ(rec.at("input"), inputs.at(std::stoul(rec.at("file"))));
      EXPECT_EQ(rec.at("status"), "failed");
      EXPECT_TRUE(Has(rec.at("error"), "no such file or directory")) << rec.at("error");
      EXPECT_EQ(rec.at("output") + rec.at("input_size") + rec.at("output_size"), "nullnullnull");
    }
    EXPECT_EQ(records.size(), FileNumbers(records).size()) << "a file recorded twice";
    return FileNumbers(records);
  };

  std::set<std::string> all;
  for (int k = 0; k < 3; ++k) {
    const auto part = took({"--manifest", Dir.File("list.txt"), "--shard", std::to_string(k) + "/3"}, WithEnv({}));
    for (const auto &n : part) {
      EXPECT_EQ(std::stoi(n) % 3, k) << n;
      EXPECT_TRUE(all.insert(n).second) << n << " taken by two shards";
    }
  }
  EXPECT_EQ(all.size(), 8u);

  const std::set<std::string> second = {"2", "5"};
  TChildSetup fromStdin = WithEnv({});
  fromStdin.HasStdin = true;
  fromStdin.Stdin = manifest;
  EXPECT_EQ(took({"--manifest", "-", "--shard", "2/3"}, fromStdin), second);
  // A Kubernetes Indexed Job of 3 completions, index 2.
  EXPECT_EQ(took({"--manifest", Dir.File("list.txt"), "--shard", "auto", "--shards", "3"},
                 WithEnv({"JOB_COMPLETION_INDEX=2"})),
            second);
  // Slurm arrays 1-3 and 0-20:10: their third task.
  EXPECT_EQ(took({"--manifest", Dir.File("list.txt"), "--shard", "auto"},
                 WithEnv({"SLURM_ARRAY_TASK_ID=3", "SLURM_ARRAY_TASK_COUNT=3", "SLURM_ARRAY_TASK_MIN=1",
                          "SLURM_ARRAY_TASK_STEP=1"})),
            second);
  EXPECT_EQ(took({"--manifest", Dir.File("list.txt"), "--shard", "auto"},
                 WithEnv({"SLURM_ARRAY_TASK_ID=20", "SLURM_ARRAY_TASK_COUNT=3", "SLURM_ARRAY_TASK_MIN=0",
                          "SLURM_ARRAY_TASK_STEP=10"})),
            second);
  // Files on the command line split the same way.
  EXPECT_EQ(took({"--shard", "1/3", inputs[0], inputs[1], inputs[2], inputs[3], inputs[4]}, WithEnv({})),
            (std::set<std::string>{"1", "4"}));

  // A report that cannot be written is the run's failure, not the files'.
  const TRun full = RunCli({"convert", "--report", "/dev/full", "--manifest", Dir.File("list.txt"), "--shard", "0/3"},
                           {}, WithEnv({}));
  EXPECT_EQ(full.Code, 1) << full.Err;
  EXPECT_TRUE(Has(full.Err, "Could not write the report '/dev/full': No space left on device")) << full.Err;

  // Wrong choices stop before anything is converted or recorded.
  qvtest::WriteFile(Dir.File("blank.txt"), "\n\r\n\n");
  qvtest::WriteFile(Dir.File("zero.txt"), inputs[0] + "\n" + std::string("in/a\0b.flv\n", 11));
  const std::string list = Dir.File("list.txt");
  const std::vector<std::tuple<TArgs, std::vector<std::string>, std::string>> refused = {
      {{"--manifest", list, "--shard", "3/3"}, {}, "is not a shard"},
      {{"--manifest", list, "--shard", "1/0"}, {}, "is not a shard"},
      {{"--manifest", list, "--shard", "-1/3"}, {}, "is not a shard"},
      {{"--manifest", list, "--shard", "one"}, {}, "is not a shard"},
      {{"--manifest", list, "--shard", "0/3", "--shards", "3"}, {}, "--shards goes with --shard auto"},
      {{"--manifest", list, "--shard", "auto"}, {}, "neither JOB_COMPLETION_INDEX"},
      {{"--manifest", list, "--shard", "auto"}, {"JOB_COMPLETION_INDEX=1"}, "--shards N"},
      {{"--manifest", list, "--shard", "auto", "--shards", "3"}, {"JOB_COMPLETION_INDEX=3"}, "is not below"},
      {{"--manifest", list, "--shard", "auto", "--shards", "3"}, {"JOB_COMPLETION_INDEX=x"}, "is not a number"},
      {{"--manifest", list, "--shard", "auto"},
       {"SLURM_ARRAY_TASK_ID=3", "SLURM_ARRAY_TASK_COUNT=3"},
       "is not one of 3 evenly spaced tasks"},
      {{"--manifest", list, "--shard", "auto"},
       {"SLURM_ARRAY_TASK_ID=15", "SLURM_ARRAY_TASK_COUNT=3", "SLURM_ARRAY_TASK_STEP=10"},
       "is not one of 3 evenly spaced tasks"},
      {{"--manifest", list, "--shard", "auto"}, {"SLURM_ARRAY_TASK_ID=1"}, "SLURM_ARRAY_TASK_COUNT is not set"},
      {{"--manifest", list, "--shard", "auto", "--shards", "4"},
       {"SLURM_ARRAY_TASK_ID=1", "SLURM_ARRAY_TASK_COUNT=3"},
       "differs from SLURM_ARRAY_TASK_COUNT"},
      {{"--manifest", Dir.File("none.txt")}, {}, "Could not read the manifest"},
      {{"--manifest", Dir.File("blank.txt")}, {}, "lists no files"},
      {{"--manifest", Dir.File("zero.txt")}, {}, "zero byte on line 2"},
      {{"--manifest", list, inputs[0]}, {}, "not both"},
      {{"--manifest", list, "--report", Dir.File("no/such/folder/r.jsonl")}, {}, "Could not open the report"},
  };
  for (const auto &[args, env, message] : refused) {
    TArgs full = args;
    full.insert(full.begin(), "convert");
    const TRun r = RunCli(full, {}, WithEnv(env));
    EXPECT_EQ(r.Code, 1) << args.back();
    EXPECT_TRUE(Has(r.Err, message)) << r.Err;
    EXPECT_FALSE(Has(r.Err, "files:")) << "ran anyway: " << r.Err;
  }
}

// ---- converting in shards ----

TEST_F(Shards, FourShardsConvertEveryFileOnceAndRerunsOnlyRedoWhatIsNotComplete)
{
  const std::string presets = Presets();
  fs::create_directory(Dir.File("in"));
  fs::create_directory(Dir.File("reports"));
  std::vector<std::string> inputs, outputs;
  std::string manifest;
  for (int i = 0; i < 12; ++i) {
    inputs.push_back(MakeFlv("in/n" + std::to_string(i) + ".flv", 0.6, 176, 144));
    outputs.push_back(Dir.File("in/n" + std::to_string(i) + "_(new).mp4"));
    manifest += inputs.back() + "\n";
  }
  qvtest::WriteFile(Dir.File("list.txt"), manifest);
  auto report = [&](int AShard) { return Dir.File("reports/" + std::to_string(AShard) + ".jsonl"); };
  // All four shards at once, as a scheduler starts them.
  auto runShards = [&](const std::vector<int> &AShards, TArgs AExtra = {}) {
    std::vector<std::unique_ptr<TChild>> children;
    for (int k : AShards) {
      TArgs args = {"convert",   "--presets", presets, "--jobs", "1", "--manifest", Dir.File("list.txt"),
                    "--shard",   std::to_string(k) + "/4", "--report", report(k)};
      args.insert(args.end(), AExtra.begin(), AExtra.end());
      children.push_back(std::make_unique<TChild>(Cli(), args, WithEnv({})));
    }
    std::vector<TRun> runs;
    for (auto &c : children) runs.push_back(c->Wait());
    return runs;
  };

  std::vector<TRun> runs = runShards({0, 1, 2, 3});
  std::map<std::string, int> converted;  // input -> times
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(runs[k].Code, 0) << runs[k].Err;
    EXPECT_TRUE(Has(runs[k].Err, "Shard " + std::to_string(k) + "/4: 3 of 12 files")) << runs[k].Err;
    for (const auto &r : Events(qvtest::ReadFile(report(k)))) {
      const size_t n = std::stoul(r.at("file"));
      SCOPED_TRACE(r.at("input"));
      EXPECT_EQ(static_cast<int>(n % 4), k);
      EXPECT_EQ(r.at("input"), inputs.at(n));
      EXPECT_EQ(r.at("output"), outputs.at(n));
      EXPECT_EQ(r.at("status"), "done");
      EXPECT_EQ(r.at("error"), "null");
      EXPECT_EQ(r.at("shard"), std::to_string(k) + "/4");
      EXPECT_EQ(std::stoll(r.at("input_size")), qvtest::FileSize(inputs[n]));
      EXPECT_EQ(std::stoll(r.at("output_size")), qvtest::FileSize(outputs[n]));
      EXPECT_NEAR(std::stod(r.at("input_duration")), 0.6, 0.1);
      EXPECT_NEAR(std::stod(r.at("output_duration")), 0.6, 0.15);
      EXPECT_GE(std::stod(r.at("seconds")), 0.0);
      ++converted[r.at("input")];
    }
  }
  EXPECT_EQ(converted.size(), 12u);
  for (const auto &[input, times] : converted) EXPECT_EQ(times, 1) << input;
  for (const auto &out : outputs) ExpectConverted(out);
  // One name per input, nothing left behind.
  int files = 0;
  for (const auto &e : fs::directory_iterator(Dir.File("in"))) files += e.path().extension() == ".mp4";
  EXPECT_EQ(files, 12);
  EXPECT_TRUE(Temporaries(Dir.File("in")).empty());

  // A rerun skips every complete output without touching it. An output
  // spoilt meanwhile (cut short; a stranger's file) is not overwritten
  // without -y, and fails.
  std::vector<std::string> before;
  for (const auto &out : outputs) before.push_back(Stamp(out));
  const std::string cut = qvtest::ReadFile(outputs[5]);
  qvtest::WriteFile(outputs[5], cut.substr(0, cut.size() / 2));
  qvtest::WriteFile(outputs[3], "not a video");
  before[5] = Stamp(outputs[5]);
  before[3] = Stamp(outputs[3]);
  for (auto &r : {report(0), report(1), report(2), report(3)}) fs::remove(r);
  runs = runShards({0, 1, 2, 3});
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(runs[k].Code, k == 1 || k == 3 ? 2 : 0) << runs[k].Err;
    for (const auto &r : Events(qvtest::ReadFile(report(k)))) {
      const std::string n = r.at("file");
      if (n == "3" || n == "5") {
        EXPECT_EQ(r.at("status"), "failed");
        EXPECT_TRUE(Has(r.at("error"), "already exists and is not a complete MP4. Use -y")) << r.at("error");
      } else {
        EXPECT_EQ(r.at("status"), "skipped") << n;
        EXPECT_EQ(std::stoll(r.at("output_size")), qvtest::FileSize(outputs[std::stoul(n)]));
      }
    }
  }
  for (size_t i = 0; i < outputs.size(); ++i) EXPECT_EQ(Stamp(outputs[i]), before[i]) << outputs[i];

  // -y converts the shard's files again, replacing their outputs whole.
  fs::remove(report(3));
  runs = runShards({3}, {"-y"});
  EXPECT_EQ(runs[0].Code, 0) << runs[0].Err;
  std::set<std::string> redone;
  for (const auto &r : Events(qvtest::ReadFile(report(3))))
    if (r.at("status") == "done") redone.insert(r.at("file"));
  EXPECT_EQ(redone, (std::set<std::string>{"3", "7", "11"}));
  for (int n : {3, 7, 11}) {
    EXPECT_NE(Stamp(outputs[n]), before[n]);
    ExpectConverted(outputs[n]);
  }
  EXPECT_EQ(Stamp(outputs[5]), before[5]);
  EXPECT_TRUE(Temporaries(Dir.File("in")).empty());
}

// A shard stopped with SIGTERM, then killed with SIGKILL, in the middle of a
// file, then run again.
TEST_F(Shards, KilledShardLeavesNoPartialOutputAndItsRerunFinishesOnlyWhatWasLeft)
{
  const std::string presets = Presets();
  fs::create_directory(Dir.File("out"));
  // Shard 0/2 takes s0, long2 and s4; the others belong to shard 1.
  const std::vector<std::string> names = {"s0", "o1", "long2", "o3", "s4", "o5"};
  std::string manifest;
  for (const auto &n : names)
    manifest += (n == "long2" ? MakeFlv(n + ".flv", 60.0, 640, 480) : MakeFlv(n + ".flv", 0.6)) + "\n";
  qvtest::WriteFile(Dir.File("list.txt"), manifest);
  const std::string out = Dir.File("out");
  auto args = [&](const std::string &AReport) {
    return TArgs{"convert", "--presets", presets, "--jobs", "1", "--json", "--manifest", Dir.File("list.txt"),
                 "--shard", "0/2", "--output-dir", out, "--report", AReport};
  };
  auto long2Written = [](const std::string &AOut) { return Has(AOut, "{\"event\":\"progress\",\"file\":2,"); };
  TFinalNameWatch watch(out);

  // SIGTERM (a scheduler's preemption, a time limit) stops the shard: the
  // unfinished files leave nothing, not even their temporaries.
  {
    TChild shard(Cli(), args(Dir.File("term.jsonl")), WithEnv({}));
    bool sent = false;
    const TRun r = watch.Watch(shard, [&](const std::string &AOut) {
      if (!sent && long2Written(AOut)) shard.Signal(SIGTERM), sent = true;
      return false;
    });
    EXPECT_EQ(r.Code, 128 + SIGTERM) << r.Err;
  }
  std::map<std::string, std::string> status;
  for (const auto &rec : Events(qvtest::ReadFile(Dir.File("term.jsonl")))) status[rec.at("file")] = rec.at("status");
  EXPECT_EQ(status, (std::map<std::string, std::string>{{"0", "done"}, {"2", "stopped"}, {"4", "stopped"}}));
  EXPECT_TRUE(Temporaries(out).empty());
  EXPECT_FALSE(qvtest::FileExists(out + "/long2.mp4"));
  ExpectConverted(out + "/s0.mp4");

  const std::string report = Dir.File("shard0.jsonl");
  {
    TChild shard(Cli(), args(report), WithEnv({}));
    const TRun r = watch.Watch(shard, long2Written);
    EXPECT_EQ(r.Code, -1) << "not killed: " << r.Err;
  }
  // The first file's record was written before the kill; the killed file
  // exists only as a temporary holding data.
  const auto records = Events(qvtest::ReadFile(report));
  ASSERT_EQ(records.size(), 1u) << qvtest::ReadFile(report);
  EXPECT_EQ(records[0].at("file") + records[0].at("status"), "0skipped");
  EXPECT_FALSE(qvtest::FileExists(out + "/long2.mp4"));
  bool partial = false;
  for (const auto &t : Temporaries(out))
    if (t.starts_with(".long2.mp4.") && qvtest::FileSize(out + "/" + t) > 0) partial = true;
  EXPECT_TRUE(partial) << "the kill did not land in the middle of long2";
  const std::string s0 = Stamp(out + "/s0.mp4");

  // Files the rerun must leave alone: another shard's abandoned temporary,
  // one of our outputs' temporary still locked by a live writer (this test),
  // and names that only look like temporaries.
  const std::vector<std::string> foreign = {".o1.mp4.0123456789abcdef.qvpart", ".s4.mp4.fedcba9876543210.qvpart",
                                            ".long2.mp4.notours.qvpart", "long2.mp4.0123456789abcdef.qvpart",
                                            ".long2.mp4.0123456789ABCDEF.qvpart"};
  for (const auto &f : foreign) qvtest::WriteFile(out + "/" + f, "keep");
  const int live = open((out + "/" + foreign[1]).c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(live, 0);
  ASSERT_EQ(flock(live, LOCK_EX | LOCK_NB), 0);

  TChild rerun(Cli(), args(report), WithEnv({}));
  const TRun r = watch.Watch(rerun);
  close(live);
  EXPECT_EQ(r.Code, 0) << r.Err;
  status.clear();
  for (const auto &rec : Events(qvtest::ReadFile(report))) status[rec.at("file")] = rec.at("status");
  EXPECT_EQ(status, (std::map<std::string, std::string>{{"0", "skipped"}, {"2", "done"}, {"4", "done"}}));
  EXPECT_EQ(Stamp(out + "/s0.mp4"), s0);
  ExpectConverted(out + "/long2.mp4");
  ExpectConverted(out + "/s4.mp4");
  qvtest::TMediaInfo info;
  ASSERT_TRUE(qvtest::ProbeMedia(out + "/long2.mp4", info));
  EXPECT_NEAR(info.Find(AVMEDIA_TYPE_VIDEO)->Duration, 60.0, 0.5);
  // The killed run's temporaries are gone; the others are all still there.
  EXPECT_EQ(Temporaries(out), (std::set<std::string>{foreign[0], foreign[1], foreign[2], foreign[3], foreign[4]}));
  for (const auto &f : foreign) EXPECT_EQ(qvtest::ReadFile(out + "/" + f), "keep") << f;
  EXPECT_FALSE(qvtest::FileExists(out + "/o1.mp4"));
  EXPECT_GT(watch.Looks(), 20);
}

}  // namespace
