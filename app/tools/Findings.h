// What the window and the command line tell people about an input's faults
// and a conversion's warnings: a one-line summary of an FLV file's findings,
// their details one line each, and a run's warnings as one text.
//
// No GUI toolkit. Threads: pure functions. Failure: none.
#pragma once

#include <string>
#include <vector>

#include "FFmpeg.h"
#include "FlvFindings.h"
#include "FlvReader.h"

// The reader's findings; where it has none yet, those its repairs tell
// (a cut tail, skipped bytes, packets dropped before their configuration...).
std::vector<flv::TFinding> FindingsOf(const flv::TReader &AReader);

// "2 problems found: they will be mended" ("1 problem found: it will be
// mended", "...: some data will be lost", "...: they will be converted as
// they are"); empty when no finding is a warning or an error.
std::string FindingsSummaryLine(const std::vector<flv::TFinding> &AFindings);

// One line per finding: "warning truncated-tail, byte 5120, 0:08: the file
// ends inside a tag (lost)".
std::string FindingsDetails(const std::vector<flv::TFinding> &AFindings);

// The warnings' texts joined by "; ".
std::string RunWarningsText(const std::vector<TRunWarning> &AWarnings);
