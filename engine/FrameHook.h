// Frame-hook libraries: shared libraries exporting "Configure", "Process" and
// "Release" that the engine runs on every decoded picture. The chain is owned
// by one engine; the library modules are shared process-wide.
#pragma once

#include <memory>
#include <vector>

struct TFrameHookEntry;

class TFrameHookChain {
 public:
  TFrameHookChain();
  ~TFrameHookChain();
  std::vector<std::unique_ptr<TFrameHookEntry>> Entries;
};
