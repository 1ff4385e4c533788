#include "LibLoader.h"

#include <cfenv>
#include <climits>
#include <unistd.h>

#include "AVCodecHlpr.h"
#include "AVFormatHlpr.h"
#include "AVUtilHlpr.h"
#include "MyUtilHlpr.h"
#include "SwResampleHlpr.h"
#include "SwScaleHlpr.h"

std::atomic<int> LibraryLogLevel{1};

namespace {

bool AllLoaded = false;
std::string LastError;

// The libraries' floating-point code expects every exception masked and
// rounding to nearest; restore the caller's environment at exit.
struct TFloatEnv {
  std::fenv_t Saved;
  TFloatEnv()
  {
    std::fegetenv(&Saved);
    std::fesetround(FE_TONEAREST);
    std::feclearexcept(FE_ALL_EXCEPT);
#if defined(__GLIBC__) && (defined(__x86_64__) || defined(__i386__))
    fedisableexcept(FE_ALL_EXCEPT);
#endif
  }
  ~TFloatEnv() { std::fesetenv(&Saved); }
} FloatEnv;

// The engine is compiled against one set of library headers; a folder that
// holds other majors (a plain-named link to a newer release, say) would give
// it other structure layouts, so such a load is refused, not trusted.
bool CheckMajors(std::string &AError, bool AVersioned)
{
  struct TMajor {
    const char *Versioned, *Plain;
    unsigned Found, Wanted;
  };
  const TMajor majors[] = {
      {"libavcodec.so.59", "libavcodec.so", AVCodecLib.avcodec_version(), LIBAVCODEC_VERSION_MAJOR},
      {"libavformat.so.59", "libavformat.so", AVFormatLib.avformat_version(), LIBAVFORMAT_VERSION_MAJOR},
      {"libavutil.so.57", "libavutil.so", AVUtilLib.avutil_version(), LIBAVUTIL_VERSION_MAJOR},
      {"libswscale.so.6", "libswscale.so", SwScaleLib.swscale_version(), LIBSWSCALE_VERSION_MAJOR},
      {"libswresample.so.4", "libswresample.so", SwResampleLib.swresample_version(), LIBSWRESAMPLE_VERSION_MAJOR}};
  for (const TMajor &m : majors)
    if ((m.Found >> 16) != m.Wanted) {
      AError = std::string("Load libraray ") + (AVersioned ? m.Versioned : m.Plain) + " error: version " +
               std::to_string(m.Found >> 16) + "." + std::to_string((m.Found >> 8) & 0xff) + "." +
               std::to_string(m.Found & 0xff) + " found, major " + std::to_string(m.Wanted) + " needed";
      return false;
    }
  return true;
}

}  // namespace

bool LoadAVLibs(const std::string &AFolder, bool AVersioned)
{
  if (AllLoaded) return true;
  LastError.clear();
  std::string err;
  bool ok = LoadAVCodec(err, AFolder, AVersioned, true) && LoadAVFormat(err, AFolder, AVersioned, true) &&
            LoadAVUtil(err, AFolder, AVersioned) && LoadSwScale(err, AFolder, AVersioned) &&
            LoadSwResample(err, AFolder, AVersioned) && LoadMyUtil(err, AFolder);
  if (ok) ok = CheckMajors(err, AVersioned);
  AllLoaded = ok;
  if (ok) {
    LibraryLogLevel = LibraryToSystemLogLevel(AVUtilLib.av_log_get_level());
  } else {
    LastError = err;
    UnloadAVLibs();
  }
  return AllLoaded;
}

void UnloadAVLibs()
{
  AllLoaded = false;
  UnloadAVCodec();
  UnloadAVFormat();
  UnloadAVUtil();
  UnloadSwScale();
  UnloadSwResample();
  UnloadMyUtil();
}

std::string AVLibsLastError() { return LastError; }

bool AVLibsLoaded() { return AllLoaded; }

int SystemToLibraryLogLevel(int ALevel)
{
  if (ALevel < 0) return AV_LOG_QUIET;
  switch (ALevel) {
    case 0: return AV_LOG_ERROR;
    case 1: return AV_LOG_INFO;
    case 2: return AV_LOG_DEBUG;
    default: return AV_LOG_TRACE;
  }
}

int LibraryToSystemLogLevel(int ALibLevel)
{
  if (ALibLevel < 0) return -1;
  if (ALibLevel <= AV_LOG_ERROR) return 0;
  if (ALibLevel <= AV_LOG_INFO) return 1;
  if (ALibLevel <= AV_LOG_DEBUG) return 2;
  return 3;
}

void SetLibraryLogLevel(int ALevel)
{
  if (AVLibsLoaded()) {
    AVUtilLib.av_log_set_level(SystemToLibraryLogLevel(ALevel));
    LibraryLogLevel = LibraryToSystemLogLevel(AVUtilLib.av_log_get_level());
  } else {
    LibraryLogLevel = ALevel < -1 ? -1 : ALevel > 3 ? 3 : ALevel;
  }
}

std::recursive_mutex &CodecLock()
{
  static std::recursive_mutex lock;
  return lock;
}

std::string ExecutableDir()
{
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "./";
  std::string path(buf, static_cast<std::size_t>(n));
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "./" : path.substr(0, slash + 1);
}
