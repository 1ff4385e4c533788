#include "AVUtilHlpr.h"

TAVUtilFuncs AVUtilLib;

namespace {
const avbind::TSymbol kSymbols[] = {
#define QV_ENTRY(fn) QV_SYM(AVUtilLib, fn)
    QV_AVUTIL_FUNCTIONS(QV_ENTRY)
#undef QV_ENTRY
};
avbind::TLibModule Module("libavutil.so.%d", 57, "libavutil.so", kSymbols, sizeof kSymbols / sizeof kSymbols[0]);
}  // namespace

bool LoadAVUtil(std::string &AError, const std::string &AFolder, bool AVersioned)
{
  return Module.Load(AError, AFolder, AVersioned);
}

void UnloadAVUtil() { Module.Unload(); }

bool AVUtilLoaded() { return Module.Loaded(); }
