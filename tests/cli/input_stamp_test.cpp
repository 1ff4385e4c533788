// Stamps kept beside outputs: a rerun learns whether the input changed since
// and why its output was stamped, from stamps of this and older versions.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "InputStamp.h"
#include "TestEnv.h"

namespace {

enum TSaved { svNone, svWarnings, svChanged, svOlderForm };

struct TStampCase {
  const char *Name;
  TSaved Saved;
  bool InputChanged, Redo;  // the input was written to after the stamp; InputChangedSince
  TStampReason Reason;
};

void PrintTo(const TStampCase &ACase, std::ostream *AOut) { *AOut << ACase.Name; }

class InputStampTest : public ::testing::TestWithParam<TStampCase> {};

TEST_P(InputStampTest, TellsWhetherAndWhyAnOutputIsMadeAgain)
{
  const TStampCase &c = GetParam();
  qvtest::TScratchDir dir;
  const std::string input = dir.File("in.flv"), output = dir.File("in.mp4");
  qvtest::WriteFile(input, "recording");
  qvtest::WriteFile(output, "output");
  const TInputStamp stamp = InputStampOf(input);
  ASSERT_TRUE(stamp.Valid());
  if (c.Saved == svWarnings) { ASSERT_TRUE(SaveInputStamp(output, stamp)); }
  if (c.Saved == svChanged) { ASSERT_TRUE(SaveInputStamp(output, stamp, srChangedWhileConverting)); }
  if (c.Saved == svOlderForm)
    qvtest::WriteFile(InputStampName(output), std::to_string(stamp.Size) + " " + std::to_string(stamp.MtimeNs) + "\n");
  if (c.InputChanged) qvtest::WriteFile(input, "recording, and more");

  TStampReason why = c.Reason == srWarnings ? srChangedWhileConverting : srWarnings;  // the other one
  EXPECT_EQ(InputChangedSince(output, input, &why), c.Redo);
  if (c.Redo) { EXPECT_EQ(why, c.Reason); }
  RemoveInputStamp(output);
  EXPECT_FALSE(InputChangedSince(output, input));
}

INSTANTIATE_TEST_SUITE_P(
    Stamps, InputStampTest,
    ::testing::Values(TStampCase{"NoStampNoRedo", svNone, true, false, srWarnings},
                      TStampCase{"WarningsChanged", svWarnings, true, true, srWarnings},
                      TStampCase{"WrittenToUnchanged", svChanged, false, false, srChangedWhileConverting},
                      TStampCase{"WrittenToChanged", svChanged, true, true, srChangedWhileConverting},
                      TStampCase{"OlderFormChanged", svOlderForm, true, true, srWarnings}),
    [](const auto &AInfo) { return std::string(AInfo.param.Name); });

}  // namespace
