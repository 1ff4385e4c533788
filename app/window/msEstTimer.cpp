// TmsEstTimer (see msEstTimer.h).
#include "msEstTimer.h"

#include <QtGlobal>

#include "Tools.h"

#include <chrono>
#include <ctime>

double NowDateTime() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t secs = system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&secs, &local);
  const double micros =
      static_cast<double>(duration_cast<microseconds>(now.time_since_epoch()).count());
  // 25569 days lie between 1899-12-30 and 1970-01-01.
  return (micros / 1e6 + static_cast<double>(local.tm_gmtoff)) / 86400.0 + 25569.0;
}

std::function<void(const std::exception &)> TmsEstTimer::ExceptionHandler =
    [](const std::exception &E) { qWarning("Estimated-time timer: %s", E.what()); };

TmsEstTimer::TmsEstTimer(QObject *AOwner) : QObject(AOwner) {
  QObject::connect(&FTimer, &QTimer::timeout, this, &TmsEstTimer::TimerFired);
}

TmsEstTimer::~TmsEstTimer() {
  FEnabled = false;
  UpdateTimer();
}

void TmsEstTimer::SetInterval(uint32_t AValue) {
  if (AValue == FInterval) return;
  FInterval = AValue;
  UpdateTimer();
}

void TmsEstTimer::SetEnabled(bool AValue) {
  // Enabling an enabled timer must not restart the elapsed time.
  if (AValue == FEnabled) return;
  FEnabled = AValue;
  FStartedAt = AValue ? Clock() : 0;
  UpdateTimer();
}

void TmsEstTimer::UpdateTimer() {
  FTimer.stop();
  if (FInterval != 0 && FEnabled) FTimer.start(static_cast<int>(qMin<uint32_t>(FInterval, INT32_MAX)));
}

void TmsEstTimer::TimerFired() {
  // Exceptions must not unwind through Qt's event loop.
  try {
    Tick();
  } catch (const std::exception &E) {
    if (ExceptionHandler) ExceptionHandler(E);
  }
}

void TmsEstTimer::Tick() {
  const double elapsed = Clock() - FStartedAt;
  if (OnDisplayElapsedTime) OnDisplayElapsedTime(this, elapsed);
  int32_t current = 0, total = 0;
  if (OnGetCurrentCount) OnGetCurrentCount(this, current);
  if (OnGetTotalCount) OnGetTotalCount(this, total);
  // The projected duration of the whole job at the rate seen so far.
  const double estimate = EstimatedTotalTime(current, total, elapsed);
  if (OnDisplayEstTime) OnDisplayEstTime(this, estimate);
}
