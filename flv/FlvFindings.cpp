#include "FlvFindings.h"

#include <algorithm>

namespace flv {

std::string FindingsSummary(const std::vector<TFinding> &AFindings)
{
  const auto Count = std::count_if(AFindings.begin(), AFindings.end(), IsProblem);
  if (Count == 0) return {};
  auto Any = [&AFindings](TFindingAction AAction) {
    return std::any_of(AFindings.begin(), AFindings.end(),
                       [AAction](const TFinding &F) { return IsProblem(F) && F.Action == AAction; });
  };
  // the worst outcome speaks for all
  const std::string What = Any(TFindingAction::Lost)              ? "some data will be lost"
                           : Any(TFindingAction::ConvertedAnyway) ? "it will be converted anyway"
                           : Count == 1                           ? "it will be mended"
                                                                  : "they will be mended";
  return std::to_string(Count) + (Count == 1 ? " problem found: " : " problems found: ") + What;
}

}  // namespace flv
