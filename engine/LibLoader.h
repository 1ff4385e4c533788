// The aggregate loader of the media libraries and the stdio shim, the
// libraries' log level, the process-wide codec lock and the floating-point
// set-up. Load order: avcodec, avformat, avutil, swscale, swresample, myutil;
// the first failure unloads everything again.
//
// Threads: LoadAVLibs/UnloadAVLibs run on one thread before any conversion
// starts; once loaded the libraries stay loaded until the process ends and
// their tables are only read. LibraryLogLevel is atomic (read by the log
// callback on any thread).
#pragma once

#include <atomic>
#include <mutex>
#include <string>

// Loads the six libraries from AFolder; AVersioned picks "libavcodec.so.59"
// over "libavcodec.so". True at once when already loaded (arguments ignored).
bool LoadAVLibs(const std::string &AFolder, bool AVersioned);
void UnloadAVLibs();
std::string AVLibsLastError();
bool AVLibsLoaded();

// The libraries' log level in the system's terms (-1 quiet ... 3 everything),
// read by the component's log callback to drop lines above it.
extern std::atomic<int> LibraryLogLevel;

// Library level <-> system level (-1 quiet, 0 errors, 1 information,
// 2 debug, 3 everything).
int SystemToLibraryLogLevel(int ALevel);
int LibraryToSystemLogLevel(int ALibLevel);
// Sets the libraries' log level from a system level and stores it in LibraryLogLevel.
void SetLibraryLogLevel(int ALevel);

// One process-wide lock around every codec open and close and around stream
// probing: the library's codec open/close are not safe to run concurrently.
// Lock order: taken last, never held while calling an event.
std::recursive_mutex &CodecLock();

// The folder of the running executable, with a trailing '/'.
std::string ExecutableDir();
