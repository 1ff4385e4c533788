// An output file's fate: what each end of a job leaves on disk, and the
// check that a finished output's name still names the file that was written.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "Errors.h"
#include "OutputFate.h"
#include "TestEnv.h"

namespace {

enum class TBefore { Nothing, Existing };
enum class TMeanwhile { Nothing, Data, Removed, Replaced };

struct TFateCase {
  const char *Name;
  TBefore Before;
  bool Header;  // the run wrote the muxer's header
  TMeanwhile Meanwhile;
  engine::TOutputEnd End;
  bool Kept;
  const char *Error;  // part of the text raised, or null
};

class OutputFateTest : public ::testing::TestWithParam<TFateCase> {
 protected:
  void SetUp() override { qvtest::LoadLibs(); }
};

bool Exists(const std::string &APath)
{
  struct stat st {};
  return stat(APath.c_str(), &st) == 0;
}

TEST_P(OutputFateTest, LeavesTheFileAsItsEndSays)
{
  const TFateCase &c = GetParam();
  qvtest::TScratchDir dir;
  const std::string name = dir.File("out.crc");
  if (c.Before == TBefore::Existing) qvtest::WriteFile(name, "older");
  AVFormatContext *oc = nullptr;
  ASSERT_GE(AVFormatLib.avformat_alloc_output_context2(&oc, nullptr, "framecrc", name.c_str()), 0);
  engine::TOutputFileFacts facts;
  ASSERT_TRUE(engine::OpenForWriting(oc, name, facts));
  EXPECT_EQ(facts.Created, c.Before == TBefore::Nothing);
  EXPECT_TRUE(facts.Identified);
  if (c.Header) {
    AVStream *st = AVFormatLib.avformat_new_stream(oc, nullptr);
    st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    st->codecpar->codec_id = AV_CODEC_ID_RAWVIDEO;
    st->codecpar->width = 16;
    st->codecpar->height = 16;
    st->time_base = {1, 25};
    ASSERT_GE(AVFormatLib.avformat_write_header(oc, nullptr), 0);
    facts.HeaderWritten = true;
  }
  if (c.Meanwhile == TMeanwhile::Data) {
    std::FILE *f = std::fopen(name.c_str(), "a");
    ASSERT_NE(f, nullptr);
    std::fputs("data", f);
    std::fclose(f);
  }
  if (c.Meanwhile == TMeanwhile::Removed) unlink(name.c_str());
  if (c.Meanwhile == TMeanwhile::Replaced) {
    qvtest::WriteFile(dir.File("other"), "other");
    ASSERT_EQ(std::rename(dir.File("other").c_str(), name.c_str()), 0);
  }

  std::string error;
  try {
    engine::EndOutputFiles(&oc, &facts, 1, c.End);
  } catch (const FFMpegException &e) {
    error = e.what();
  }
  if (c.Error)
    EXPECT_NE(error.find(c.Error), std::string::npos) << error;
  else
    EXPECT_EQ(error, "");
  // What releasing the job does after a run's end (a withdrawn output is
  // no longer in the job).
  if (c.End != engine::TOutputEnd::Withdrawn) engine::EndOutputFiles(&oc, &facts, 1, engine::TOutputEnd::Released);
  EXPECT_EQ(Exists(name), c.Kept);
  AVFormatLib.avformat_free_context(oc);
}

using engine::TOutputEnd;
INSTANTIATE_TEST_SUITE_P(
    Ends, OutputFateTest,
    ::testing::Values(
        TFateCase{"WithdrawnNewFileGoes", TBefore::Nothing, false, TMeanwhile::Nothing, TOutputEnd::Withdrawn, false,
                  nullptr},
        TFateCase{"WithdrawnFileThatExistedStays", TBefore::Existing, false, TMeanwhile::Nothing,
                  TOutputEnd::Withdrawn, true, nullptr},
        TFateCase{"UnwrittenGoesWithItsHeader", TBefore::Existing, true, TMeanwhile::Nothing, TOutputEnd::Unwritten,
                  false, nullptr},
        TFateCase{"ReleasedEmptyGoes", TBefore::Nothing, false, TMeanwhile::Nothing, TOutputEnd::Released, false,
                  nullptr},
        TFateCase{"ReleasedWithDataStays", TBefore::Nothing, false, TMeanwhile::Data, TOutputEnd::Released, true,
                  nullptr},
        TFateCase{"WrittenStaysWithItsTrailer", TBefore::Nothing, true, TMeanwhile::Nothing, TOutputEnd::Written,
                  true, nullptr},
        TFateCase{"WrittenButRemovedFails", TBefore::Nothing, true, TMeanwhile::Removed, TOutputEnd::Written, false,
                  "it was removed during the conversion"},
        TFateCase{"WrittenButReplacedFails", TBefore::Nothing, true, TMeanwhile::Replaced, TOutputEnd::Written, true,
                  "another file took its name during the conversion"}),
    [](const ::testing::TestParamInfo<TFateCase> &AInfo) { return std::string(AInfo.param.Name); });

}  // namespace
