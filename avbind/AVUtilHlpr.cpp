#include "AVUtilHlpr.h"

TAVUtilFuncs AVUtilLib;

namespace {
#define QV_ENTRY(fn) QV_SYM(AVUtilLib, fn)
avbind::TLibModule Module("libavutil.so.%d", 57, "libavutil.so", {QV_AVUTIL_FUNCTIONS(QV_ENTRY)});
#undef QV_ENTRY
}  // namespace

bool LoadAVUtil(std::string &AError, const std::string &AFolder, bool AVersioned)
{
  return Module.Load(AError, AFolder, AVersioned);
}
void UnloadAVUtil() { Module.Unload(); }
bool AVUtilLoaded() { return Module.Loaded(); }
