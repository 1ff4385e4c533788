#include "OpenErrors.h"

#include <cerrno>

extern "C" {
#include <libavutil/error.h>
}

#include "SysFormat.h"

namespace avbind {

std::string InputOpenErrorText(const std::string &AFileName, int AErrorCode)
{
  const char *fmt;
  switch (AErrorCode) {
    // No demuxer recognised the data. The library reports that as invalid
    // data; an illegal byte sequence is how older releases said it.
    case AVERROR_INVALIDDATA:
    case AVERROR(EILSEQ):
    case AVERROR_DEMUXER_NOT_FOUND:
      fmt = "%s: Unknown format";
      break;
    case AVERROR(EDOM):
      fmt = "%s: Incorrect image filename syntax.\r\nUse '%%d' to specify the image number:\r\n"
            "  for img1.jpg, img2.jpg, ..., use 'img%%d.jpg';\r\n"
            "  for img001.jpg, img002.jpg, ..., use 'img%%03d.jpg'.";
      break;
    case AVERROR(EINVAL):
      fmt = "%s: Error while parsing header";
      break;
    case AVERROR(ENOMEM):
      fmt = "%s: memory allocation error occurred";
      break;
    case AVERROR(EIO):
      fmt = "%s: I/O error occurred\r\nUsually that means that input file is truncated and/or corrupted.";
      break;
    case AVERROR(ENOENT):
      fmt = "%s: no such file or directory";
      break;
    // A write that fails for want of room would otherwise be reported as an
    // error while opening, which sends the user looking in the wrong place.
    case AVERROR(ENOSPC):
      fmt = "%s: No space left on device";
      break;
    case AVERROR(EFBIG):
      fmt = "%s: File too large";
      break;
    default:
      fmt = "%s: Error while opening file";
      break;
  }
  return Format(fmt, {AFileName});
}

}  // namespace avbind
