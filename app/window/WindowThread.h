// TQtWindowThread: the component's window-thread services on the Qt event
// loop. Callbacks run on the GUI thread (the thread that made the object),
// posted from any thread; they die with the object, so none runs after it
// is gone.
#pragma once

#include <QObject>

#include <functional>
#include <memory>

#include "Strix.h"

class TQtWindowThread : public TWindowThread {
 public:
  TQtWindowThread();
  ~TQtWindowThread() override;
  void Post(std::function<void()> AFn) override;
  void PostDelayed(int AMilliseconds, std::function<void()> AFn) override;

 private:
  // Lives on the GUI thread; the callbacks are queued on it.
  std::unique_ptr<QObject> FContext;
};
