#include "SwScaleHlpr.h"

TSwScaleFuncs SwScaleLib;

namespace {
#define QV_ENTRY(fn) QV_SYM(SwScaleLib, fn)
avbind::TLibModule Module("libswscale.so.%d", 6, "libswscale.so", {QV_SWSCALE_FUNCTIONS(QV_ENTRY)});
#undef QV_ENTRY
}  // namespace

bool LoadSwScale(std::string &AError, const std::string &AFolder, bool AVersioned)
{
  return Module.Load(AError, AFolder, AVersioned);
}
void UnloadSwScale() { Module.Unload(); }
bool SwScaleLoaded() { return Module.Loaded(); }
