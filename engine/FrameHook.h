// Frame-hook libraries: shared libraries exporting "Configure", "Process" and
// "Release" (see QuenvaroHook.h, the interface for hook authors) that the
// engine runs on every decoded picture.
//
// Ownership: a TFrameHookChain belongs to one engine (TCustomFFmpeg::
// FrameHooks) and owns its hook records and, through them, the hooks'
// contexts. The library modules belong to a process-wide table: loaded on
// first use, never unloaded, shared by every engine.
// Threads: AddFrameHook may run on several threads at once for different
// chains (the library table is locked); one chain is only ever touched by
// one thread at a time: hooks are added while its job is configured, run on
// the job's worker thread and released when the job is released.
// Failure: AddFrameHook returns one of the FrameHook* codes below and writes
// the reason to the library log (av_log, error level); nothing throws.
#pragma once

#include <cstdint>

extern "C" {
#include <libavutil/pixfmt.h>
}

#define QUENVARO_HOOK_HOST
#include "QuenvaroHook.h"

// One added hook. Allocated zeroed with av_mallocz, freed with av_free.
struct TFrameHook {
  TFrameHook *Next;  // following hook, in adding order
  QuenvaroHookConfigureFn Configure;
  QuenvaroHookProcessFn Process;  // always set in a listed hook
  QuenvaroHookReleaseFn Release;
  void *Context;  // hook-private, written by Configure
};

// A singly linked list of hooks in adding order.
class TFrameHookChain {
 public:
  TFrameHookChain();
  // Releases the hooks still listed.
  ~TFrameHookChain();
  TFrameHookChain(const TFrameHookChain &) = delete;
  TFrameHookChain &operator=(const TFrameHookChain &) = delete;

  bool Empty() const { return Head == nullptr; }
  int Count() const;

  TFrameHook *Head = nullptr;
};

// Entries handed to "Configure": the library name and at most 63 arguments.
constexpr int MaxFrameHookArgs = QUENVARO_HOOK_MAX_ARGS;

// Results of AddFrameHook.
constexpr int FrameHookOk = 0;
constexpr int FrameHookLoadFailed = -1;       // the library did not load
constexpr int FrameHookMissingEntry = -2;     // no arguments, no "Process", or arguments without "Configure"
constexpr int FrameHookTooManyArgs = -7;      // more than MaxFrameHookArgs entries
constexpr int FrameHookNoMemory = -12;        // the hook record could not be allocated
constexpr int FrameHookConfigureFailed = -22; // "Configure" returned non-zero

// Loads AArgv[0] (once per process, names compared without regard to case),
// resolves its entry points, lets it configure itself with AArgc/AArgv and
// appends the hook to AList. AArgv[AArgc] need not be null: "Configure" gets
// a null-terminated copy of the vector. Nothing is added on failure.
int AddFrameHook(TFrameHookChain &AList, int AArgc, char *AArgv[]);

// Calls "Process" of every hook in list order on the same picture.
void RunFrameHooks(const TFrameHookChain &AList, uint8_t *AData[4], const int ALineSize[4], AVPixelFormat APixFmt,
                   int AWidth, int AHeight, int64_t APts);

// Calls "Release" of every hook that has one, in list order, and frees the
// records; the list is empty afterwards.
void ReleaseFrameHooks(TFrameHookChain &AList);

// How many library modules the process-wide table holds (for diagnostics).
int LoadedFrameHookLibraryCount();
