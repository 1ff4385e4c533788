#include "SwScaleHlpr.h"

TSwScaleFuncs SwScaleLib;

namespace {
const avbind::TSymbol kSymbols[] = {
#define QV_ENTRY(fn) QV_SYM(SwScaleLib, fn)
    QV_SWSCALE_FUNCTIONS(QV_ENTRY)
#undef QV_ENTRY
};
avbind::TLibModule Module("libswscale.so.%d", 6, "libswscale.so", kSymbols, sizeof kSymbols / sizeof kSymbols[0]);
}  // namespace

bool LoadSwScale(std::string &AError, const std::string &AFolder, bool AVersioned)
{
  return Module.Load(AError, AFolder, AVersioned);
}

void UnloadSwScale() { Module.Unload(); }

bool SwScaleLoaded() { return Module.Loaded(); }
