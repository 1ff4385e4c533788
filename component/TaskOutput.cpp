// One output of a conversion and its fate (see TaskOutput.h).
#include "TaskOutput.h"

#include <sys/stat.h>
#include <unistd.h>

bool IsMp4Family(const std::string &AFormat)
{
  for (const char *name : {"mp4", "mov", "ipod", "3gp", "3g2", "psp", "ismv", "f4v"})
    if (AFormat == name) return true;
  return false;
}

bool TTaskOutput::Stage(const std::string &AFinal, const struct stat *AInput, const TPublishOptions &AOptions,
                        bool ACheckMp4, std::string &AError)
{
  if (!FTemp.Create(AFinal, AError)) return false;
  FStaged = true;
  FFinal = AFinal;
  FOptions = AOptions;
  FCheckMp4 = ACheckMp4;
  FHaveTimes = AOptions.KeepDates && AInput;
  if (FHaveTimes) FTimes[0] = AInput->st_atim, FTimes[1] = AInput->st_mtim;
  return true;
}

void TTaskOutput::Direct(const std::string &AName)
{
  struct stat st {};
  FFinal = AName;
  FCreated = lstat(AName.c_str(), &st) != 0;
}

void TTaskOutput::Opened()
{
  // Only a regular file of that name can be told again at the end.
  struct stat st {};
  FIdentified = lstat(FFinal.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  FDevice = FIdentified ? st.st_dev : 0;
  FInode = FIdentified ? st.st_ino : 0;
}

void TTaskOutput::RemoveDirect() const
{
  struct stat st {};
  if (FCreated && FIdentified && lstat(FFinal.c_str(), &st) == 0 && st.st_dev == FDevice && st.st_ino == FInode)
    unlink(FFinal.c_str());
}

std::string TTaskOutput::Named(std::string AText) const
{
  const std::string &temp = FTemp.Name();
  if (temp.empty()) return AText;
  for (size_t at = 0; (at = AText.find(temp, at)) != std::string::npos; at += FFinal.size())
    AText.replace(at, temp.size(), FFinal);
  return AText;
}

bool TTaskOutput::Settle(TEnd AEnd, std::string &AError)
{
  if (FSettled.exchange(true)) return true;
  if (!FStaged) {
    if (FRejected) RemoveDirect();
    return true;
  }
  if (FRejected || AEnd == teFailed || (AEnd == teStopped && !FOptions.PublishStopped)) {
    FTemp.Discard();
    return true;
  }
  // A task stopped before it wrote anything leaves nothing to publish (the
  // engine removes an empty output); a finished one must have its file.
  struct stat st {};
  const bool written = stat(FTemp.Name().c_str(), &st) == 0 && st.st_size > 0;
  if (AEnd == teStopped && (!written || (FCheckMp4 && !IsCompleteMp4(FTemp.Name())))) {
    FTemp.Discard();
    return true;
  }
  if (FCheckMp4 && written && !IsCompleteMp4(FTemp.Name())) {
    AError = "Output file '" + FFinal + "' is not a complete MP4; it was not saved";
    FTemp.Discard();
    return false;
  }
  if (FHaveTimes) FTemp.SetTimes(FTimes);
  std::string name = FFinal;
  for (int attempt = 0; attempt < 100; ++attempt) {
    switch (FTemp.PublishAs(name, FOptions.Replace, AError)) {
      case prPublished:
        Published = name;
        return true;
      case prFailed:
        FTemp.Discard();
        return false;
      case prFinalExists:
        if (!FOptions.NextFreeName) {
          FinalTaken = true;
          AError = "File '" + name + "' already exists. Use -y to overwrite it.";
          FTemp.Discard();
          return false;
        }
        name = FOptions.NextFreeName();
        break;
    }
  }
  AError = "No free output name for '" + FFinal + "'";
  FTemp.Discard();
  return false;
}

bool SettleOutputs(const TTaskOutputs &AOutputs, TTaskOutput::TEnd AEnd,
                   const std::function<void(const std::string &)> &AOnError)
{
  bool ok = true;
  for (const auto &output : AOutputs) {
    std::string error;
    if (output->Settle(AEnd, error)) continue;
    if (AOnError) AOnError(error);
    AEnd = TTaskOutput::teFailed;
    ok = false;
  }
  return ok;
}
