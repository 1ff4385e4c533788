// One run-time loaded library: its handle, its resolved-function flag and its
// last error text, plus the generic load/resolve/unload steps every *Hlpr
// module shares. A binding is its typed table (a struct of QV_SLOT entries
// from an X-list of names), one TLibModule over that table's QV_SYM entries,
// and three one-line wrappers (Load..., Unload..., ...Loaded).
//
// Ownership: the module owns the dlopen handle until Unload. The function
// table it fills belongs to the *Hlpr module and keeps stale entries after
// Unload; nothing may call through it until the next successful Load.
// Threads: load and unload run on one thread before any conversion starts;
// afterwards the tables are only read. Nothing here is locked.
// Failure: Load returns false and leaves the message in LastError, in the
// forms "Load libraray %s error: %s" and "Load function %s@%s error: %s".
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

namespace avbind {

struct TSymbol {
  const char *Name;
  void **Slot;
};

class TLibModule {
 public:
  // AVersionedFmt: "libavcodec.so.%d"-style name (null when the library has
  // no versioned name); APlain: "libavcodec.so". ASymbols: the table's slots,
  // built from its X-list with QV_SYM, in the order they are resolved.
  TLibModule(const char *AVersionedFmt, int AMajor, const char *APlain, std::initializer_list<TSymbol> ASymbols);

  // Loads the library from AFolder (empty: the loader's normal search) and
  // resolves every listed symbol in order. The first missing one fails.
  bool Load(std::string &AError, const std::string &AFolder, bool AVersioned);
  void Unload();
  bool Loaded() const { return FResolved; }
  void *Handle() const { return FHandle; }
  const std::string &LastError() const { return FLastError; }
  std::string FileName() const;

 private:
  const char *FVersionedFmt;
  int FMajor;
  const char *FPlain;
  std::vector<TSymbol> FSymbols;
  void *FHandle = nullptr;
  bool FVersioned = false;
  bool FResolved = false;
  std::string FLastError;
};

// The loader's error text trimmed as the messages want it: trailing blanks,
// line breaks and full stops removed.
std::string TrimSystemMessage(const char *AText);

}  // namespace avbind

// Declares one table slot typed from the real FFmpeg prototype.
#define QV_SLOT(fn) decltype(&::fn) fn = nullptr;
// Builds one {name, slot} entry for the resolution list.
#define QV_SYM(table, fn) {#fn, reinterpret_cast<void **>(&(table).fn)},
