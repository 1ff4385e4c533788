// What an output with warnings was made from (an input that ended early, was
// cut by a read error or lost data), kept beside the output as
//   .<output file name>.qvinput
// holding the input's size and modification time when it was opened. A
// resumable rerun converts such a file again once its input has changed (a
// recording still being copied, a share that came back) instead of skipping
// its output as complete. Outputs without warnings have no stamp, unless their
// input was written to while they were made (a watch stamps those): the
// stamp says which of the two it was.
//
// A watch (quenvaro-cli watch) keeps the same stamp for an input whose
// conversion failed, as .<output file name>.qvfailed beside where its output
// would be: it is not tried again while the input matches it.
//
// Threads: any; one caller per output. Failure: a stamp that cannot be
// written or read counts as none (the output is then kept, as before).
#pragma once

#include <cstdint>
#include <string>

struct TInputStamp {
  int64_t Size = -1;
  int64_t MtimeNs = -1;
  bool Valid() const { return Size >= 0; }
};

// Why an output's input was stamped.
enum TStampReason { srWarnings, srChangedWhileConverting };

// AInput's stamp now, invalid when it cannot be read.
TInputStamp InputStampOf(const std::string &AInput);
std::string InputStampName(const std::string &AOutput);
bool SaveInputStamp(const std::string &AOutput, const TInputStamp &AStamp, TStampReason AReason = srWarnings);
void RemoveInputStamp(const std::string &AOutput);
// True when AOutput has a stamp and AInput no longer matches it; AReason,
// when given, tells why the stamp was kept (a stamp that says nothing:
// warnings).
bool InputChangedSince(const std::string &AOutput, const std::string &AInput, TStampReason *AReason = nullptr);

bool SaveFailedStamp(const std::string &AOutput, const TInputStamp &AStamp);
void RemoveFailedStamp(const std::string &AOutput);
// True when AOutput's input failed before and AInput still matches its stamp.
bool FailedAndUnchanged(const std::string &AOutput, const std::string &AInput);
