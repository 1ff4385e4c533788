// TmsEstTimer: while enabled, wakes up every Interval milliseconds and
// reports to its owner the time elapsed since it was enabled and the
// projected total time of the job, from two counts the owner supplies.
//
// Threads: lives on the thread that created it (the window thread); its ticks
// come from a Qt timer of that thread, so handlers run there too. The counts
// the handlers hand back may have been written by other threads; making that
// safe is the owner's business.
// Failure: an exception escaping a handler during a tick is passed to
// ExceptionHandler and the timer keeps running.
#pragma once

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <exception>
#include <functional>
#include <string>

class TmsEstTimer;

// Count: in-out; the timer passes 0 in.
using TmsGetCountEvent = std::function<void(TmsEstTimer *Sender, int32_t &Count)>;
// TheTime: days, whole days before the point, the time of day as the fraction.
using TmsDisplayTimeEvent = std::function<void(TmsEstTimer *Sender, double TheTime)>;

// The current local date-time in days since 1899-12-30.
double NowDateTime();

class TmsEstTimer : public QObject {
 public:
  explicit TmsEstTimer(QObject *AOwner = nullptr);
  ~TmsEstTimer() override;

  uint32_t Interval() const { return FInterval; }
  void SetInterval(uint32_t AValue);
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool AValue);
  std::string Version() const { return "1.0"; }
  void SetVersion(const std::string &) {}  // read-only by design: writing has no effect

  // The local date-time of the last enabling; 0 while disabled.
  double StartedAt() const { return FStartedAt; }
  // Whether the Qt timer is armed (enabled with a non-zero interval).
  bool Armed() const { return FTimer.isActive(); }

  // One wake-up: elapsed, then the counts, then the estimate (see .cpp).
  void Tick();

  TmsGetCountEvent OnGetCurrentCount;
  TmsGetCountEvent OnGetTotalCount;
  TmsDisplayTimeEvent OnDisplayEstTime;
  TmsDisplayTimeEvent OnDisplayElapsedTime;

  // The clock read for StartedAt and at every tick; tests replace it.
  std::function<double()> Clock = NowDateTime;

  // Where an exception from a tick goes; the program installs one that shows
  // it. By default it is written to the Qt warning log.
  static std::function<void(const std::exception &)> ExceptionHandler;

 private:
  void UpdateTimer();
  void TimerFired();

  uint32_t FInterval = 1000;
  bool FEnabled = false;
  double FStartedAt = 0;
  QTimer FTimer;
};
