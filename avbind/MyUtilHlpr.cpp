#include "MyUtilHlpr.h"

TMyUtilFuncs MyUtilLib;

namespace {
#define QV_MY(fn) {#fn, reinterpret_cast<void **>(&MyUtilLib.fn)},
const avbind::TSymbol kSymbols[] = {
    QV_MY(my_vsprintf) QV_MY(my_fprintf) QV_MY(my_snprintf) QV_MY(my_fopen) QV_MY(my_ftell)
    QV_MY(my_fread) QV_MY(my_fwrite) QV_MY(my_fseek) QV_MY(my_fclose) QV_MY(my_strtok)
    QV_MY(my_strtol) QV_MY(my_strtod)
};
#undef QV_MY
avbind::TLibModule Module(nullptr, 0, "libmyutil.so", kSymbols, sizeof kSymbols / sizeof kSymbols[0]);
}  // namespace

bool LoadMyUtil(std::string &AError, const std::string &AFolder) { return Module.Load(AError, AFolder, false); }

void UnloadMyUtil() { Module.Unload(); }

bool MyUtilLoaded() { return Module.Loaded(); }
