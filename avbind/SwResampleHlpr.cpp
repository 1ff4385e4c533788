#include "SwResampleHlpr.h"

TSwResampleFuncs SwResampleLib;

namespace {
#define QV_ENTRY(fn) QV_SYM(SwResampleLib, fn)
avbind::TLibModule Module("libswresample.so.%d", 4, "libswresample.so", {QV_SWRESAMPLE_FUNCTIONS(QV_ENTRY)});
#undef QV_ENTRY
}  // namespace

bool LoadSwResample(std::string &AError, const std::string &AFolder, bool AVersioned)
{
  return Module.Load(AError, AFolder, AVersioned);
}
void UnloadSwResample() { Module.Unload(); }
bool SwResampleLoaded() { return Module.Loaded(); }
