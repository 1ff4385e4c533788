// The process-wide component registry and log line store behind LogCallback.
// Internal to the component.
//
// Lock order: a component's event lock may be held when the registry lock is
// taken (clearing the line store at the end of a run); the registry lock is
// never held while an event is raised, so the reverse never happens. The task
// list locks are taken inside the registry lock and take nothing themselves.
#pragma once

#include <mutex>
#include <vector>

#include "Task.h"

class TCustomStrix;

class TComponentRegistry {
 public:
  void Add(TCustomStrix *AComponent);
  // After Remove returns, no log line is delivered to AComponent any more.
  void Remove(TCustomStrix *AComponent);
  std::recursive_mutex Lock;
  std::vector<TCustomStrix *> Components;
  TLogList LogLines;
};

// Created on first use and never destroyed: libraries may log from other
// threads while the process exits.
TComponentRegistry &ComponentRegistry();
