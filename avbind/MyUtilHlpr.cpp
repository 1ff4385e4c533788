#include "MyUtilHlpr.h"

TMyUtilFuncs MyUtilLib;

namespace {
#define QV_ENTRY(fn) QV_SYM(MyUtilLib, fn)
// Built by this project: one unversioned file name.
avbind::TLibModule Module(nullptr, 0, "libmyutil.so", {QV_MYUTIL_FUNCTIONS(QV_ENTRY)});
#undef QV_ENTRY
}  // namespace

bool LoadMyUtil(std::string &AError, const std::string &AFolder) { return Module.Load(AError, AFolder, false); }
void UnloadMyUtil() { Module.Unload(); }
bool MyUtilLoaded() { return Module.Loaded(); }
