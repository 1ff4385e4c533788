// The log callback: library messages assembled into lines per thread and
// routed to the component whose task (or file being opened) is on that
// thread, or to every live component when none is.
#include "LogRouting.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

#include "AVUtilHlpr.h"
#include "LibLoader.h"
#include "Strix.h"

TComponentRegistry &ComponentRegistry()
{
  static auto *registry = new TComponentRegistry;
  return *registry;
}

void TComponentRegistry::Add(TCustomStrix *AComponent)
{
  std::lock_guard<std::recursive_mutex> lock(Lock);
  Components.push_back(AComponent);
}

void TComponentRegistry::Remove(TCustomStrix *AComponent)
{
  {
    std::lock_guard<std::recursive_mutex> lock(Lock);
    Components.erase(std::remove(Components.begin(), Components.end(), AComponent), Components.end());
  }
  // Lines picked up before the removal are delivered outside the lock; wait
  // for them so none reaches a component that is going away.
  while (AComponent->FLogUsers.load() > 0) std::this_thread::yield();
}

void ClearLogLines()
{
  TComponentRegistry &registry = ComponentRegistry();
  std::lock_guard<std::recursive_mutex> lock(registry.Lock);
  registry.LogLines.Clear();
}

namespace {

struct TLogDelivery {
  TCustomStrix *Component;
  // The component's task that runs on the logging thread, or null. It stays
  // alive during the delivery: a task is destroyed only after its thread
  // ended, and an inline run's task only after the run has returned.
  TFFmpeg *Task;
  std::string Line;
  bool Published;  // the component's final class may be called
};

// Writes the prefix "[name @ XXXXXXXX]" for a library object into ABuf.
size_t WritePrefix(void *AContext, char *ABuf, size_t ASize)
{
  const AVClass *cls = *static_cast<const AVClass *const *>(AContext);
  const char *name = cls->item_name ? cls->item_name(AContext) : nullptr;
  int n = std::snprintf(ABuf, ASize, "[%s @ %08X]", name ? name : "",
                        static_cast<unsigned>(reinterpret_cast<uintptr_t>(cls) & 0xFFFFFFFFu));
  if (n < 0) return 0;
  return std::min(static_cast<size_t>(n), ASize - 1);
}

}  // namespace

void LogCallback(void *AContext, int ALevel, const char *AFormat, va_list AArguments)
{
  const int level = LibraryToSystemLogLevel(ALevel);
  if (LibraryLogLevel.load() < level) return;
  if (!AFormat || !AVUtilLoaded()) return;

  const auto tid = static_cast<uint32_t>(gettid());
  std::vector<TLogDelivery> deliveries;
  {
    TComponentRegistry &registry = ComponentRegistry();
    std::lock_guard<std::recursive_mutex> lock(registry.Lock);
    TLogItem &item = registry.LogLines.FindOrAdd(tid);

    char buf[LogBufferSize] = {};
    int printPrefix = 0;
    std::string text;
    const bool hasClass = AContext && *static_cast<const AVClass *const *>(AContext);
    if (item.Pending.empty()) {
      const size_t used = hasClass ? WritePrefix(AContext, buf, sizeof buf) : 0;
      // Bounded formatting: a longer message is cut at the buffer's end.
      AVUtilLib.av_log_format_line2(nullptr, ALevel, AFormat, AArguments, buf + used,
                                    static_cast<int>(sizeof buf - used), &printPrefix);
      buf[sizeof buf - 1] = '\0';
      text.assign(buf, strnlen(buf, sizeof buf));
    } else {
      // A continued line: the message first, then as much of the pending text
      // as fits in front of it. The message and its line breaks always get
      // in; a full pending text would otherwise swallow every later message
      // and the thread's log would never move on.
      AVUtilLib.av_log_format_line2(nullptr, ALevel, AFormat, AArguments, buf, static_cast<int>(sizeof buf),
                                    &printPrefix);
      buf[sizeof buf - 1] = '\0';
      const size_t length = strnlen(buf, sizeof buf);
      text = item.Pending.substr(0, std::min(item.Pending.size(), sizeof buf - 1 - length));
      text.append(buf, length);
    }

    // A thread that runs a component's task, or on which a component opens
    // a file, speaks for that component alone; one nobody owns, to all.
    // Looked up only once a line is complete: most messages end one, but a
    // part of a line costs no search.
    std::vector<std::pair<TCustomStrix *, TFFmpeg *>> receivers;
    if (text.find('\n') != std::string::npos) {
      for (TCustomStrix *component : registry.Components) {
        TFFmpeg *task = component->FTasks.FindByThreadId(tid);
        if (task || component->FOpeningThread.load() == tid) receivers.emplace_back(component, task);
      }
      if (receivers.empty())
        for (TCustomStrix *component : registry.Components) receivers.emplace_back(component, nullptr);
    }
    size_t start = 0;
    for (size_t lf; (lf = text.find('\n', start)) != std::string::npos; start = lf + 1) {
      std::string line = text.substr(start, lf - start);
      for (const auto &[component, task] : receivers) {
        ++component->FLogUsers;
        deliveries.push_back(
            TLogDelivery{component, task, line, component->FPublished.load(std::memory_order_acquire)});
      }
    }
    item.Pending = text.substr(start);
  }

  // Raised outside the registry lock, so a handler may do anything that logs
  // (and a component's event lock is never taken inside the registry lock).
  // Through the virtual DoLog, as the engine's own lines are. Nothing may
  // unwind into the library that called us.
  for (TLogDelivery &delivery : deliveries) {
    try {
      if (delivery.Published)
        delivery.Component->DoLog(delivery.Task, level, delivery.Line);
      else
        delivery.Component->TCustomStrix::DoLog(delivery.Task, level, delivery.Line);
    } catch (...) {
    }
    --delivery.Component->FLogUsers;
  }
}
