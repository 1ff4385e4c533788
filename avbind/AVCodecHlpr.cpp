#include "AVCodecHlpr.h"

TAVCodecFuncs AVCodecLib;

namespace {
#define QV_ENTRY(fn) QV_SYM(AVCodecLib, fn)
avbind::TLibModule Module("libavcodec.so.%d", 59, "libavcodec.so", {QV_AVCODEC_FUNCTIONS(QV_ENTRY)});
#undef QV_ENTRY
}  // namespace

bool LoadAVCodec(std::string &AError, const std::string &AFolder, bool AVersioned, bool /*ARegister*/)
{
  return Module.Load(AError, AFolder, AVersioned);
}
void UnloadAVCodec() { Module.Unload(); }
bool AVCodecLoaded() { return Module.Loaded(); }
