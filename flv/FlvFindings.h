// What a reader found wrong with an FLV file, for the health check and for
// the summaries the window and the batch show. Each finding names one fault
// (or a run of the same fault), where it is, and what a conversion does about
// it. Codes are stable: scripts and JSON consumers match on them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace flv {

enum class TFindingLevel : uint8_t { Information, Warning, Error };

// What converting the file does about the fault.
enum class TFindingAction : uint8_t {
  Mended,           // the output is as if the fault were not there
  ConvertedAnyway,  // the output carries the fault (a jump, drift, a wrong tag)
  Lost,             // data of the input does not reach the output
};

struct TFinding {
  std::string Code;  // stable, lower case with dashes ("truncated-tail")
  TFindingLevel Level = TFindingLevel::Warning;
  TFindingAction Action = TFindingAction::Mended;
  int64_t Offset = -1;  // byte offset of the first occurrence, -1 when none
  int64_t TimeMs = -1;  // media time of the first occurrence, -1 when none
  int64_t Count = 1;    // occurrences folded into this finding
  std::string Text;     // one line for people, without the code
};

const char *LevelName(TFindingLevel ALevel);    // "information", "warning", "error"
const char *ActionName(TFindingAction AAction);  // "mended", "converted anyway", "lost"

// Warnings and errors are problems; information is not.
inline bool IsProblem(const TFinding &AFinding) { return AFinding.Level != TFindingLevel::Information; }

// One line for people about the problems among AFindings and what a
// conversion does about them ("2 problems found: they will be mended");
// empty when there is none.
std::string FindingsSummary(const std::vector<TFinding> &AFindings);

}  // namespace flv
