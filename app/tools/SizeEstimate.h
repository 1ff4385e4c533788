// The size of an MP4 output before it is written: from the bit rates an
// output record asks for and the input's duration, or, for a stream that is
// copied, from the bytes the input's stream holds; plus what MP4 adds per
// packet.
//
// No GUI toolkit: the window and the command line share this.
// Threads: pure functions.
// Failure: none; an estimate that cannot be made has Bytes -1.
#pragma once

#include <cstdint>
#include <string>

#include "Options.h"
#include "SourceInfo.h"

struct TSizeEstimate {
  int64_t Bytes = -1;   // -1: unknown
  bool AtMost = false;  // a ceiling only (a constant-quality encoder below its highest rate)
};

// What ARecord makes of ASource. Unknown when the duration is needed but not
// known, when a re-encoded stream has no bit rate (nor a ceiling), or when a
// copied stream was not scanned (ScanStreamSizes).
TSizeEstimate EstimateOutputSize(const TOutputOptions &ARecord, const TSourceInfo &ASource);

// "Expected size: ~ 12.34 Mbytes" ("up to ~" for a ceiling), with the
// window's units (Mbytes above 1 048 576 bytes, Kbytes above 1024, else
// bytes) and the locale's decimal separator; empty when unknown.
std::string ExpectedSizeText(const TSizeEstimate &AEstimate);
