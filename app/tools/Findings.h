// What the window and the command line tell people about an input's faults
// and a conversion's warnings: an FLV file's findings one line each, and a
// run's warnings as one text. (The one-line summary is flv::FindingsSummary.)
//
// No GUI toolkit. Threads: pure functions. Failure: none.
#pragma once

#include <string>
#include <vector>

#include "FFmpeg.h"
#include "FlvFindings.h"

// One line per finding: "warning truncated-tail, byte 5120, 0:08: the file
// ends inside a tag (lost)".
std::string FindingsDetails(const std::vector<flv::TFinding> &AFindings);

// The warnings' texts joined by "; ".
std::string RunWarningsText(const std::vector<TRunWarning> &AWarnings);
