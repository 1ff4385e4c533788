#include "LibModule.h"

#include <dlfcn.h>

#include <cstdio>

namespace avbind {

std::string TrimSystemMessage(const char *AText)
{
  std::string s = AText ? AText : "";
  while (!s.empty() && (static_cast<unsigned char>(s.back()) < '!' || s.back() == '.'))
    s.pop_back();
  return s;
}

TLibModule::TLibModule(const char *AVersionedFmt, int AMajor, const char *APlain,
                       std::initializer_list<TSymbol> ASymbols)
    : FVersionedFmt(AVersionedFmt), FMajor(AMajor), FPlain(APlain), FSymbols(ASymbols)
{
}

std::string TLibModule::FileName() const
{
  if (FVersioned && FVersionedFmt) {
    char buf[256];
    std::snprintf(buf, sizeof buf, FVersionedFmt, FMajor);
    return buf;
  }
  return FPlain;
}

bool TLibModule::Load(std::string &AError, const std::string &AFolder, bool AVersioned)
{
  FVersioned = AVersioned;
  bool ok = true;
  if (!FHandle) {
    const std::string name = FileName();
    std::string path = name;
    if (!AFolder.empty()) {
      // A full path makes the dynamic loader take this exact file; its own
      // dependencies resolve through the normal search.
      path = AFolder;
      if (path.back() != '/') path += '/';
      path += name;
    }
    dlerror();
    FHandle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!FHandle) {
      FLastError = "Load libraray " + name + " error: " + TrimSystemMessage(dlerror());
      ok = false;
    }
  }
  if (ok && !FResolved) {
    for (const TSymbol &symbol : FSymbols) {
      dlerror();
      void *p = dlsym(FHandle, symbol.Name);
      if (!p) {
        const char *err = dlerror();
        FLastError = std::string("Load function ") + symbol.Name + "@" + FileName() +
                     " error: " + TrimSystemMessage(err ? err : "symbol not found");
        ok = false;
        break;
      }
      *symbol.Slot = p;
    }
    FResolved = ok;
  }
  if (!ok) AError = FLastError;
  return ok;
}

void TLibModule::Unload()
{
  if (FHandle) {
    dlclose(FHandle);
    FHandle = nullptr;
    FResolved = false;
  }
}

}  // namespace avbind
