// TQtWindowThread (see WindowThread.h).
#include "WindowThread.h"

#include <QThread>
#include <QTimer>

TQtWindowThread::TQtWindowThread() : FContext(std::make_unique<QObject>()) {}

TQtWindowThread::~TQtWindowThread() = default;

void TQtWindowThread::Post(std::function<void()> AFn) {
  QMetaObject::invokeMethod(FContext.get(), std::move(AFn), Qt::QueuedConnection);
}

void TQtWindowThread::PostDelayed(int AMilliseconds, std::function<void()> AFn) {
  QObject *context = FContext.get();
  // A Qt timer belongs to the thread that starts it, so start it on the GUI thread.
  if (QThread::currentThread() == context->thread()) {
    QTimer::singleShot(AMilliseconds, context, std::move(AFn));
    return;
  }
  QMetaObject::invokeMethod(
      context, [context, AMilliseconds, fn = std::move(AFn)]() mutable { QTimer::singleShot(AMilliseconds, context, std::move(fn)); },
      Qt::QueuedConnection);
}
