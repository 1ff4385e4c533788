// Set-up shared by the harnesses that drive an engine: the media libraries
// from LibAV/ beside the harness, kept quiet so the fuzzer's output stays
// readable and fast.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "LibLoader.h"

namespace qvfuzz {

inline void LoadEngineLibraries()
{
  if (!LoadAVLibs(ExecutableDir() + "LibAV", true)) {
    std::fprintf(stderr, "cannot load the media libraries from %sLibAV: %s\n", ExecutableDir().c_str(),
                 AVLibsLastError().c_str());
    std::abort();
  }
  SetLibraryLogLevel(-1);
}

// Options left out of the engine harnesses because of what they do outside
// the engine: "vhook" loads (and so runs the initialisers of) whatever
// library its value names. The other options with outside effects only store
// a name ("vstats", "vstats_file", "passlogfile", "pass": no file is touched
// before a run, and the harnesses never start one) or change the process-wide
// log level ("v"), which the harnesses put back after every input.
inline bool IsSandboxedOption(const std::string &AName) { return AName == "vhook"; }

// Undoes the process-wide effect of option "v".
inline void RestoreGlobalState() { SetLibraryLogLevel(-1); }

}  // namespace qvfuzz
