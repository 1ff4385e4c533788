#include "OutputFate.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Errors.h"
#include "OpenErrors.h"
#include "SysFormat.h"

namespace engine {

namespace {

// The local file a media name stands for: "file:" names one too.
std::string LocalPath(const char *AName)
{
  const std::string name = AName ? AName : "";
  return name.rfind("file:", 0) == 0 ? name.substr(5) : name;
}

bool HasFile(const AVFormatContext *AOc) { return !(AOc->oformat->flags & AVFMT_NOFILE); }

void Close(AVFormatContext *AOc)
{
  if (HasFile(AOc) && AOc->pb) AVFormatLib.avio_closep(&AOc->pb);
}

void RemoveIfEmpty(const char *AName)
{
  struct stat st {};
  if (AName && stat(AName, &st) == 0 && st.st_size == 0) unlink(AName);
}

// Writing into a file whose name was removed (its folder deleted, say)
// succeeds to the end, and leaves nothing: that is no result.
void CheckStillThere(const AVFormatContext *AOc, const TOutputFileFacts &AFacts)
{
  const char *name = AOc->url ? AOc->url : "";
  struct stat st {};
  if (stat(LocalPath(name).c_str(), &st) != 0) {
    const int err = errno;
    if (err == ENOENT || err == ENOTDIR)
      throw FFMpegException(
          avbind::Format("Output file '%s' could not be finished: it was removed during the conversion", {name}));
    throw FFMpegException(avbind::Format("Output file '%s' could not be finished: %s", {name, std::strerror(err)}));
  }
  if (st.st_dev != AFacts.Device || st.st_ino != AFacts.Inode)
    throw FFMpegException(avbind::Format(
        "Output file '%s' could not be finished: another file took its name during the conversion", {name}));
}

}  // namespace

bool OpenForWriting(AVFormatContext *AOc, const std::string &AName, TOutputFileFacts &AFacts)
{
  struct stat sb {};
  const bool existed = stat(AName.c_str(), &sb) == 0;
  if (AVFormatLib.avio_open2(&AOc->pb, AName.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr) < 0) return false;
  AFacts.Created = !existed;
  struct stat opened {};
  const std::string path = LocalPath(AName.c_str());
  AFacts.Identified = !path.empty() && stat(path.c_str(), &opened) == 0 && S_ISREG(opened.st_mode);
  AFacts.Device = AFacts.Identified ? opened.st_dev : 0;
  AFacts.Inode = AFacts.Identified ? opened.st_ino : 0;
  return true;
}

void EndOutputFiles(AVFormatContext *const *AOcs, const TOutputFileFacts *AFacts, int ACount, TOutputEnd AEnd)
{
  switch (AEnd) {
    case TOutputEnd::Withdrawn:
      for (int i = 0; i < ACount; ++i) {
        if (AOcs[i]->pb) AVFormatLib.avio_closep(&AOcs[i]->pb);
        if (AFacts[i].Created) RemoveIfEmpty(AOcs[i]->url);
      }
      return;
    case TOutputEnd::Unwritten:
      for (int i = 0; i < ACount; ++i)
        if (HasFile(AOcs[i]) && AOcs[i]->pb) {
          AVFormatLib.avio_closep(&AOcs[i]->pb);
          if (AOcs[i]->url) unlink(AOcs[i]->url);
        }
      return;
    case TOutputEnd::Written:
      for (int i = 0; i < ACount; ++i)
        if (AFacts[i].HeaderWritten) {
          const int r = AVFormatLib.av_write_trailer(AOcs[i]);
          if (r < 0) throw FFMpegException(avbind::InputOpenErrorText("av_write_trailer()", r));
        }
      for (int i = 0; i < ACount; ++i)
        if (AFacts[i].Identified && AFacts[i].HeaderWritten) CheckStillThere(AOcs[i], AFacts[i]);
      return;
    case TOutputEnd::Released:
      for (int i = 0; i < ACount; ++i) {
        Close(AOcs[i]);
        RemoveIfEmpty(AOcs[i]->url);
      }
      return;
  }
}

}  // namespace engine
