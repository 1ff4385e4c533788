#include "AVFormatHlpr.h"

TAVFormatFuncs AVFormatLib;

namespace {
#define QV_ENTRY(fn) QV_SYM(AVFormatLib, fn)
avbind::TLibModule Module("libavformat.so.%d", 59, "libavformat.so", {QV_AVFORMAT_FUNCTIONS(QV_ENTRY)});
#undef QV_ENTRY
}  // namespace

bool LoadAVFormat(std::string &AError, const std::string &AFolder, bool AVersioned, bool /*ARegister*/)
{
  return Module.Load(AError, AFolder, AVersioned);
}
void UnloadAVFormat() { Module.Unload(); }
bool AVFormatLoaded() { return Module.Loaded(); }
