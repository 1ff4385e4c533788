#include "SwResampleHlpr.h"

TSwResampleFuncs SwResampleLib;

namespace {
const avbind::TSymbol kSymbols[] = {
#define QV_ENTRY(fn) QV_SYM(SwResampleLib, fn)
    QV_SWRESAMPLE_FUNCTIONS(QV_ENTRY)
#undef QV_ENTRY
};
avbind::TLibModule Module("libswresample.so.%d", 4, "libswresample.so", kSymbols, sizeof kSymbols / sizeof kSymbols[0]);
}  // namespace

bool LoadSwResample(std::string &AError, const std::string &AFolder, bool AVersioned)
{
  return Module.Load(AError, AFolder, AVersioned);
}

void UnloadSwResample() { Module.Unload(); }

bool SwResampleLoaded() { return Module.Loaded(); }
