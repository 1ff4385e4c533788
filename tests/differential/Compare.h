// The comparison of our output with the ffmpeg command's: every figure that
// differs beyond tolerance becomes one line naming the figure and both values.
//
// Tolerance: 0.2 s or one source frame, whichever is larger (frame and
// sample counts: as many frames or samples as that time holds). Pure
// functions, any thread.
#pragma once

#include <string>
#include <vector>

#include "Figures.h"

namespace qvdiff {

// One side of the comparison: how the command ended and what its output holds.
struct TSide {
  bool Ok = false;
  std::string Error;         // the command's error text when it failed
  bool Probed = false;       // the output could be read
  TFigures Figures;
  std::string DecodeErrors;  // what decoding the output printed
};

struct TCompareSetup {
  bool Reencode = false;   // converted to 15 fps (else stream copy)
  bool LastFrame = false;  // also check that the last source picture keeps its display time
  const TFigures *Source = nullptr;  // the input that the ffmpeg command's output was made from
  // Our output must decode cleanly even where the ffmpeg command's does not;
  // then that output's packets and span stand for what it decodes.
  bool MustDecode = false;
};

double Tolerance(const TFigures &ASource);

std::vector<std::string> Compare(const TSide &AOurs, const TSide &AOracle, const TCompareSetup &ASetup);

// Both sides' figures, one line per stream, for failure messages.
std::string FiguresText(const TSide &AOurs, const TSide &AOracle);

}  // namespace qvdiff
