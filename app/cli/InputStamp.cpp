// Stamps of inputs beside their outputs (see InputStamp.h).
#include "InputStamp.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

TInputStamp InputStampOf(const std::string &AInput)
{
  struct stat st {};
  if (stat(AInput.c_str(), &st) != 0) return {};
  return {static_cast<int64_t>(st.st_size), static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

namespace {

// ".<output file name><ASuffix>" beside the output.
std::string StampName(const std::string &AOutput, const char *ASuffix)
{
  const auto slash = AOutput.find_last_of('/');
  const std::string folder = slash == std::string::npos ? std::string() : AOutput.substr(0, slash + 1);
  return folder + "." + AOutput.substr(slash == std::string::npos ? 0 : slash + 1) + ASuffix;
}

// After the figures, the word for a stamp kept because the input changed;
// a stamp with nothing after them was kept for warnings (the older form).
const char *const ChangedWord = "changed";

bool WriteStamp(const std::string &AName, const TInputStamp &AStamp, TStampReason AReason = srWarnings)
{
  if (!AStamp.Valid()) return false;
  // Written aside and renamed, so a reader never meets half a stamp.
  const std::string temp = AName + ".new";
  {
    std::ofstream out(temp, std::ios::trunc);
    out << AStamp.Size << ' ' << AStamp.MtimeNs;
    if (AReason == srChangedWhileConverting) out << ' ' << ChangedWord;
    out << '\n';
    if (!out.flush()) {
      unlink(temp.c_str());
      return false;
    }
  }
  if (std::rename(temp.c_str(), AName.c_str()) == 0) return true;
  unlink(temp.c_str());
  return false;
}

TInputStamp ReadStamp(const std::string &AName, TStampReason *AReason = nullptr)
{
  std::ifstream in(AName);
  TInputStamp saved;
  if (!(in >> saved.Size >> saved.MtimeNs)) return {};
  std::string word;
  if (AReason) *AReason = in >> word && word == ChangedWord ? srChangedWhileConverting : srWarnings;
  return saved;
}

const char *const FailedSuffix = ".qvfailed";

}  // namespace

std::string InputStampName(const std::string &AOutput) { return StampName(AOutput, ".qvinput"); }

bool SaveInputStamp(const std::string &AOutput, const TInputStamp &AStamp, TStampReason AReason)
{
  return WriteStamp(InputStampName(AOutput), AStamp, AReason);
}

void RemoveInputStamp(const std::string &AOutput) { unlink(InputStampName(AOutput).c_str()); }

bool InputChangedSince(const std::string &AOutput, const std::string &AInput, TStampReason *AReason)
{
  const TInputStamp saved = ReadStamp(InputStampName(AOutput), AReason);
  if (!saved.Valid()) return false;
  const TInputStamp now = InputStampOf(AInput);
  return now.Valid() && (now.Size != saved.Size || now.MtimeNs != saved.MtimeNs);
}

bool SaveFailedStamp(const std::string &AOutput, const TInputStamp &AStamp)
{
  return WriteStamp(StampName(AOutput, FailedSuffix), AStamp);
}

void RemoveFailedStamp(const std::string &AOutput) { unlink(StampName(AOutput, FailedSuffix).c_str()); }

bool FailedAndUnchanged(const std::string &AOutput, const std::string &AInput)
{
  const TInputStamp saved = ReadStamp(StampName(AOutput, FailedSuffix));
  const TInputStamp now = InputStampOf(AInput);
  return saved.Valid() && now.Valid() && now.Size == saved.Size && now.MtimeNs == saved.MtimeNs;
}
