// A task's output on its way to its final name (see PendingOutput.h).
#include "PendingOutput.h"

#include <sys/stat.h>

bool IsMp4Family(const std::string &AFormat)
{
  for (const char *name : {"mp4", "mov", "ipod", "3gp", "3g2", "psp", "ismv", "f4v"})
    if (AFormat == name) return true;
  return false;
}

bool TPendingOutput::Create(const std::string &AFinal, const struct stat *AInput, const TPublishOptions &AOptions,
                            bool ACheckMp4, std::string &AError)
{
  if (!FTemp.Create(AFinal, AError)) return false;
  FFinal = AFinal;
  FOptions = AOptions;
  FCheckMp4 = ACheckMp4;
  FHaveTimes = AOptions.KeepDates && AInput;
  if (FHaveTimes) FTimes[0] = AInput->st_atim, FTimes[1] = AInput->st_mtim;
  return true;
}

std::string TPendingOutput::Named(std::string AText) const
{
  const std::string &temp = TempName();
  if (temp.empty()) return AText;
  for (size_t at = 0; (at = AText.find(temp, at)) != std::string::npos; at += FFinal.size())
    AText.replace(at, temp.size(), FFinal);
  return AText;
}

bool TPendingOutput::Settle(TEnd AEnd, std::string &AError)
{
  if (FSettled.exchange(true)) return true;
  if (AEnd == teFailed || (AEnd == teStopped && !FOptions.PublishStopped)) {
    FTemp.Discard();
    return true;
  }
  // A task stopped before it wrote anything leaves nothing to publish (the
  // engine removes an empty output); a finished one must have its file.
  struct stat st {};
  const bool written = stat(TempName().c_str(), &st) == 0 && st.st_size > 0;
  if (AEnd == teStopped && (!written || (FCheckMp4 && !IsCompleteMp4(TempName())))) {
    FTemp.Discard();
    return true;
  }
  if (FCheckMp4 && written && !IsCompleteMp4(TempName())) {
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
