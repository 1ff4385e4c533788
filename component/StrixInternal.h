// Shared by the component's source files only.
#pragma once

// Depth of component event dispatch on this thread. Inside an event, tasks
// are not destroyed on the spot: the thread may be one of theirs, or hold the
// event lock their threads wait for.
extern thread_local int GEventDepth;

struct TEventScope {
  TEventScope() { ++GEventDepth; }
  ~TEventScope() { --GEventDepth; }
  TEventScope(const TEventScope &) = delete;
  TEventScope &operator=(const TEventScope &) = delete;
};
