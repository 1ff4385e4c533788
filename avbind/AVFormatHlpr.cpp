#include "AVFormatHlpr.h"

TAVFormatFuncs AVFormatLib;

namespace {
const avbind::TSymbol kSymbols[] = {
#define QV_ENTRY(fn) QV_SYM(AVFormatLib, fn)
    QV_AVFORMAT_FUNCTIONS(QV_ENTRY)
#undef QV_ENTRY
};
avbind::TLibModule Module("libavformat.so.%d", 59, "libavformat.so", kSymbols, sizeof kSymbols / sizeof kSymbols[0]);
}  // namespace

bool LoadAVFormat(std::string &AError, const std::string &AFolder, bool AVersioned, bool /*ARegister*/)
{
  return Module.Load(AError, AFolder, AVersioned);
}

void UnloadAVFormat() { Module.Unload(); }

bool AVFormatLoaded() { return Module.Loaded(); }
