// Our conversions against the ffmpeg command's on the same input: generated
// FLV files of every timestamp shape and codec FLV carries, and the real
// samples, each re-encoded the way the window converts and stream-copied to
// Matroska and (where it holds the codecs) MP4. Enhanced FLV, which the
// ffmpeg command misreads, is judged against its Matroska source, and
// damaged files against the tags a repairing reader hands on. See Cases.cpp
// for the matrix and Compare.cpp for what is compared.
//
// QV_DIFF_LONG=1 adds a 30-minute input (bench/long_input.sh runs it).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "Cases.h"
#include "Compare.h"
#include "Process.h"
#include "TestEnv.h"
#include "Tools.h"

namespace qvdiff {
namespace {

namespace fs = std::filesystem;

bool LongMode()
{
  const char *v = std::getenv("QV_DIFF_LONG");
  return v && *v && std::string(v) != "0";
}

struct TCase {
  const TShape *Shape = nullptr;
  TJob Job = jbReencode;
};

void PrintTo(const TCase &ACase, std::ostream *AOut);

const char *JobName(TJob AJob)
{
  switch (AJob) {
    case jbReencode: return "reencode";
    case jbCopyMkv: return "copy_mkv";
    case jbCopyMp4: return "copy_mp4";
    case jbCopyFlv: return "copy_flv";
  }
  return "?";
}

const char *Extension(TJob AJob) { return AJob == jbCopyMkv ? ".mkv" : AJob == jbCopyFlv ? ".flv" : ".mp4"; }

void PrintTo(const TCase &ACase, std::ostream *AOut) { *AOut << ACase.Shape->Name << " " << JobName(ACase.Job); }

std::vector<TCase> AllCases()
{
  std::vector<TCase> out;
  for (const TShape &s : Shapes(LongMode()))
    for (TJob j : {jbReencode, jbCopyMkv, jbCopyMp4, jbCopyFlv})
      if (s.Jobs & j) out.push_back({&s, j});
  return out;
}

std::string Cli() { return std::string(QV_BIN_DIR) + "/quenvaro-cli"; }

const TFormat &Preset(int ANumber)
{
  static const bool loaded = [] {
    LoadPresets(std::string(QV_BIN_DIR) + "/formats.ini");
    return true;
  }();
  (void)loaded;
  if (ANumber < 1 || ANumber > static_cast<int>(Presets.size()))
    throw std::runtime_error("no preset " + std::to_string(ANumber) + " in " QV_BIN_DIR "/formats.ini");
  return Presets[ANumber - 1];
}

// What the output of a finished command holds, decoded.
void ReadOutput(const std::string &APath, TSide &ASide)
{
  if (!fs::exists(APath)) return;
  std::string error;
  ASide.Probed = Probe(APath, true, ASide.Figures, error);
  if (!ASide.Probed) {
    if (ASide.Error.empty()) ASide.Error = error;
    return;
  }
  ASide.DecodeErrors = DecodeErrors(APath);
}

class Differential : public ::testing::TestWithParam<TCase> {
 protected:
  qvtest::TScratchDir Dir;
};

TEST_P(Differential, AgreesWithFfmpeg)
{
  const TShape &shape = *GetParam().Shape;
  const TJob job = GetParam().Job;
  const bool reencode = job == jbReencode;


  std::string input, reference;
  std::vector<std::string> maps;
  try {
    if (shape.Make) {
      const TMade made = Made(shape);
      input = made.Input, reference = made.Reference, maps = made.Maps;
    } else {
      input = Input(shape);
      reference = shape.Expect == exClosedJump ? Input(shape, true) : input;
    }
  } catch (const std::exception &e) {
    FAIL() << "shape " << shape.Name << ": " << e.what();
  }
  TFigures source;
  std::string error;
  ASSERT_TRUE(Probe(reference, false, source, error)) << reference << ": " << error;

  // Ours, the way the window converts or as a plain stream copy.
  std::vector<std::string> ours;
  std::string ourOutput;
  const TFormat &preset = Preset(shape.Preset);
  const bool rewrap = job == jbCopyMp4 && shape.Rewrap;
  if (reencode || rewrap) {
    ours = {Cli(), "convert", "--preset", rewrap ? "copy" : std::to_string(shape.Preset), "--output-dir", Dir.Path(),
            "-y", input};
    ourOutput = Dir.File(fs::path(input).stem().string() + ".mp4");
  } else {
    ourOutput = Dir.File(std::string("copy") + Extension(job));
    ours = {Cli(), "-i", input, "-vcodec", "copy", "-acodec", "copy", "-y", ourOutput};
  }
  const qvtest::TProcessResult run = qvtest::RunProcess(ours, shape.Long ? 7200 : 300);
  TSide our;
  our.Ok = run.Ok();
  our.Error = run.TimedOut ? "did not finish in time" : run.Err;
  ReadOutput(ourOutput, our);

  // The ffmpeg command with the same settings.
  std::vector<std::string> ff = {"ffmpeg", "-nostdin", "-y", "-v", "error", "-i", reference};
  ff.insert(ff.end(), maps.begin(), maps.end());
  if (rewrap) {
    for (const std::string &a : {std::string("-c:v"), std::string("copy"), std::string("-c:a"), shape.RewrapAudio})
      ff.push_back(a);
  } else if (reencode) {
    for (const std::string &a :
         {std::string("-c:v"), std::string("mpeg4"), std::string("-b:v"), std::to_string(preset.VideoBitrate),
          std::string("-s"), std::to_string(preset.FrameWidth) + "x" + std::to_string(preset.FrameHeight),
          std::string("-r"), std::string("15"), std::string("-c:a"), std::string("aac"), std::string("-b:a"),
          std::to_string(preset.AudioBitrate), std::string("-ar"), std::to_string(preset.AudioFrequency),
          std::string("-ac"), std::to_string(preset.AudioChannels)})
      ff.push_back(a);
  } else {
    for (const char *a : {"-vcodec", "copy", "-acodec", "copy"}) ff.push_back(a);
  }
  TSide oracle;
  int exit = 0;
  const std::string oracleOutput = OracleOutput(ff, Extension(job), exit, oracle.Error);
  oracle.Ok = exit == 0;
  if (oracle.Ok) ReadOutput(oracleOutput, oracle);
  if (shape.Expect == exMergedKinds && !reencode) MergeKinds(oracle.Figures);

  if (shape.Long) {
    std::printf("[ long     ] %s %s: ours %.1f s, peak %ld KB; input %s\n", shape.Name.c_str(), JobName(job),
                run.Seconds, run.PeakKBytes, input.c_str());
    RecordProperty("seconds", std::to_string(run.Seconds));
    RecordProperty("peak_kbytes", std::to_string(run.PeakKBytes));
  }

  TCompareSetup setup;
  setup.Reencode = reencode;
  setup.LastFrame = shape.LastFrame;
  setup.Source = &source;
  setup.MustDecode = static_cast<bool>(shape.Make);
  std::vector<std::string> differences = Compare(our, oracle, setup);
  // Players that take HEVC in MP4 want the parameter sets in the sample
  // entry, which the hvc1 tag says.
  if (const TStreamFigures *v = our.Figures.Find("video");
      job == jbCopyMp4 && v && v->Codec == "hevc" && v->Tag != "hvc1")
    differences.push_back("HEVC in MP4 tagged " + v->Tag + ", not hvc1");
  std::string list;
  for (const std::string &d : differences) list += "  - " + d + "\n";
  EXPECT_TRUE(differences.empty())
      << "shape " << shape.Name << ": " << shape.What << "\n"
      << "job " << JobName(job) << (reencode ? " with preset " + std::to_string(shape.Preset) : "")
      << ", tolerance " << std::to_string(Tolerance(source)).substr(0, 5) << " s\n"
      << "input " << input << (reference != input ? "\nreference input " + reference : "") << "\n"
      << "ours:   " << qvtest::CommandText(ours) << "\n"
      << "ffmpeg: " << qvtest::CommandText(ff) << " " << oracleOutput << "\n"
      << "differences:\n"
      << list << "figures:\n"
      << FiguresText(our, oracle);
}

INSTANTIATE_TEST_SUITE_P(Flv, Differential, ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<TCase> &AInfo) {
                           return AInfo.param.Shape->Name + "_" + JobName(AInfo.param.Job);
                         });

}  // namespace
}  // namespace qvdiff
