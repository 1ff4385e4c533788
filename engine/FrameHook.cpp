#include "FrameHook.h"

#include <dlfcn.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "AVUtilHlpr.h"
#include "FFmpeg.h"
#include "LibLoader.h"
#include "MyUtilHlpr.h"

// Hook authors get the format numbers from QuenvaroHook.h; keep them honest.
static_assert(QUENVARO_PIX_FMT_YUV420P == AV_PIX_FMT_YUV420P);
static_assert(QUENVARO_PIX_FMT_YUYV422 == AV_PIX_FMT_YUYV422);
static_assert(QUENVARO_PIX_FMT_RGB24 == AV_PIX_FMT_RGB24);
static_assert(QUENVARO_PIX_FMT_BGR24 == AV_PIX_FMT_BGR24);
static_assert(QUENVARO_PIX_FMT_YUV422P == AV_PIX_FMT_YUV422P);
static_assert(QUENVARO_PIX_FMT_YUV444P == AV_PIX_FMT_YUV444P);
static_assert(QUENVARO_PIX_FMT_YUV410P == AV_PIX_FMT_YUV410P);
static_assert(QUENVARO_PIX_FMT_YUV411P == AV_PIX_FMT_YUV411P);
static_assert(QUENVARO_PIX_FMT_GRAY8 == AV_PIX_FMT_GRAY8);
static_assert(QUENVARO_PIX_FMT_YUVJ420P == AV_PIX_FMT_YUVJ420P);
static_assert(QUENVARO_PIX_FMT_YUVJ422P == AV_PIX_FMT_YUVJ422P);
static_assert(QUENVARO_PIX_FMT_YUVJ444P == AV_PIX_FMT_YUVJ444P);

namespace {

struct TLoadedHookLibrary {
  std::string Name;  // as first written in an option
  void *Module;
};

// The process-wide library table. Engines on different threads may add hooks
// at the same time, so every look-up and insertion holds the lock; it is held
// across the load too, so one name is never loaded twice. Deliberately never
// destroyed: hooks of engines that outlive static destruction still run code
// from these modules.
struct TLibraryTable {
  std::mutex Lock;
  std::vector<TLoadedHookLibrary> Libraries;
};

TLibraryTable &LibraryTable()
{
  static TLibraryTable *table = new TLibraryTable;
  return *table;
}

void LogError(const char *AFormat, const char *AText) { AVUtilLib.av_log(nullptr, AV_LOG_ERROR, AFormat, AText); }

// A name with a folder part is loaded by its full path, so the module is the
// file the user named whatever the current directory becomes later, and a
// library linked with $ORIGIN finds the dependencies kept beside it. A bare
// name goes through the system loader's search.
std::string LoadPath(const std::string &AName)
{
  if (AName.find('/') == std::string::npos || AName[0] == '/') return AName;
  std::vector<char> cwd(4096);
  while (!getcwd(cwd.data(), cwd.size())) {
    if (errno != ERANGE) return AName;
    cwd.resize(cwd.size() * 2);
  }
  std::string path = cwd.data();
  if (path.empty() || path.back() != '/') path += '/';
  return path + AName;
}

// The module for AName, loading it on first use; null (logged) when it fails.
void *FindOrLoadLibrary(const char *AName)
{
  TLibraryTable &table = LibraryTable();
  std::lock_guard<std::mutex> lock(table.Lock);
  for (const TLoadedHookLibrary &lib : table.Libraries)
    if (strcasecmp(lib.Name.c_str(), AName) == 0) return lib.Module;
  dlerror();
  void *module = dlopen(LoadPath(AName).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    const char *err = dlerror();
    LogError("%s\n", avbind::TrimSystemMessage(err ? err : "cannot load library").c_str());
    return nullptr;
  }
  table.Libraries.push_back({AName, module});
  return module;
}

template <typename TFn>
TFn Resolve(void *AModule, const char *AName)
{
  return reinterpret_cast<TFn>(dlsym(AModule, AName));
}

}  // namespace

TFrameHookChain::TFrameHookChain() = default;

TFrameHookChain::~TFrameHookChain()
{
  if (Head) ReleaseFrameHooks(*this);
}

int TFrameHookChain::Count() const
{
  int n = 0;
  for (const TFrameHook *h = Head; h; h = h->Next) ++n;
  return n;
}

int AddFrameHook(TFrameHookChain &AList, int AArgc, char *AArgv[])
{
  if (AArgc < 1 || !AArgv || !AArgv[0]) return FrameHookMissingEntry;
  if (AArgc > MaxFrameHookArgs) {
    AVUtilLib.av_log(nullptr, AV_LOG_ERROR, "Too many arguments for video hook %s: at most %d are allowed\n",
                     AArgv[0], MaxFrameHookArgs - 1);
    return FrameHookTooManyArgs;
  }
  void *module = FindOrLoadLibrary(AArgv[0]);
  if (!module) return FrameHookLoadFailed;

  auto *hook = static_cast<TFrameHook *>(AVUtilLib.av_mallocz(sizeof(TFrameHook)));
  if (!hook) return FrameHookNoMemory;
  hook->Configure = Resolve<QuenvaroHookConfigureFn>(module, "Configure");
  hook->Process = Resolve<QuenvaroHookProcessFn>(module, "Process");
  hook->Release = Resolve<QuenvaroHookReleaseFn>(module, "Release");
  if (!hook->Process) {
    LogError("Failed to find Process entrypoint in %s\n", AArgv[0]);
    AVUtilLib.av_free(hook);
    return FrameHookMissingEntry;
  }
  if (!hook->Configure && AArgc > 1) {
    LogError("Failed to find Configure entrypoint in %s\n", AArgv[0]);
    AVUtilLib.av_free(hook);
    return FrameHookMissingEntry;
  }
  if (hook->Configure) {
    // The hook may scan argv up to its null end or change the pointers in it;
    // neither must reach the caller's vector.
    char *argv[MaxFrameHookArgs + 1] = {};
    for (int i = 0; i < AArgc; ++i) argv[i] = AArgv[i];
    if (hook->Configure(&hook->Context, AArgc, argv) != 0) {
      LogError("Failed to Configure %s\n", AArgv[0]);
      AVUtilLib.av_free(hook);
      return FrameHookConfigureFailed;
    }
  }
  TFrameHook **tail = &AList.Head;
  while (*tail) tail = &(*tail)->Next;
  *tail = hook;
  return FrameHookOk;
}

void RunFrameHooks(const TFrameHookChain &AList, uint8_t *AData[4], const int ALineSize[4], AVPixelFormat APixFmt,
                   int AWidth, int AHeight, int64_t APts)
{
  for (const TFrameHook *h = AList.Head; h; h = h->Next) {
    // Each hook gets its own copy of the record: a hook that repoints a
    // plane must not redirect the next hook or the encoder.
    QuenvaroHookPicture picture;
    for (int i = 0; i < 4; ++i) {
      picture.data[i] = AData[i];
      picture.linesize[i] = ALineSize[i];
    }
    h->Process(h->Context, &picture, APixFmt, AWidth, AHeight, APts);
  }
}

void ReleaseFrameHooks(TFrameHookChain &AList)
{
  TFrameHook *h = AList.Head;
  AList.Head = nullptr;
  // Records come from av_mallocz; without the library they cannot be given
  // back, but the hooks' own contexts still are.
  const bool canFree = AVUtilLoaded();
  while (h) {
    TFrameHook *next = h->Next;
    if (h->Release) h->Release(h->Context);
    if (canFree) AVUtilLib.av_free(h);
    h = next;
  }
}

int LoadedFrameHookLibraryCount()
{
  TLibraryTable &table = LibraryTable();
  std::lock_guard<std::mutex> lock(table.Lock);
  return static_cast<int>(table.Libraries.size());
}

// ---- the engine's side ----

void TCustomFFmpeg::AddFrameHook(const std::string &AArgs)
{
  const std::string failure = "Failed to add video hook function: " + AArgs;
  if (!AVLibsLoaded() || !MyUtilLoaded()) Fail(failure);
  char *copy = AVUtilLib.av_strdup(AArgs.c_str());
  if (!copy) Fail(failure);
  const char *separator = std::strchr(copy, '|') ? "|" : " ";
  // One slot more than allowed, so an over-long text reaches the check in
  // ::AddFrameHook, which refuses it with its own message.
  char *argv[MaxFrameHookArgs + 1] = {};
  int argc = 0;
  for (char *token = MyUtilLib.my_strtok(copy, separator); token && argc <= MaxFrameHookArgs;
       token = MyUtilLib.my_strtok(nullptr, separator))
    argv[argc++] = token;
  if (!FrameHooks) FrameHooks = std::make_unique<TFrameHookChain>();
  const int result = ::AddFrameHook(*FrameHooks, argc, argv);
  // "Configure" may not keep argv (see QuenvaroHook.h), so the copy can go.
  AVUtilLib.av_free(copy);
  if (result != FrameHookOk) Fail(failure);
  UsingVhook = true;
}

void TCustomFFmpeg::RunFrameHooks(uint8_t *AData[4], int ALineSize[4], AVPixelFormat APixFmt, int AWidth,
                                  int AHeight, int64_t APts)
{
  if (FrameHooks) ::RunFrameHooks(*FrameHooks, AData, ALineSize, APixFmt, AWidth, AHeight, APts);
}

void TCustomFFmpeg::ReleaseFrameHooks()
{
  if (FrameHooks) ::ReleaseFrameHooks(*FrameHooks);
  FrameHooks.reset();
}
