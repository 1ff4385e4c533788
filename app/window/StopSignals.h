// The signals that end a desktop session's programs (SIGTERM at a logout,
// SIGHUP when the terminal goes, SIGINT from a terminal's Ctrl-C) as a call
// on the GUI thread: the window stops its conversion, publishes what it
// wrote and quits, as Stop and then closing would.
//
// The handler only writes the signal's number to a socket pair (the one
// thing a handler may safely do); a QSocketNotifier reads it on the GUI
// thread and calls OnSignal there.
// Threads: construct and destroy on the GUI thread; one object per process
// (the handler finds it through a file descriptor kept for it).
// Failure: without its socket pair the object stays inert and the signals
// keep their default action.
#pragma once

#include <QSocketNotifier>

#include <functional>
#include <memory>

class TStopSignals {
 public:
  TStopSignals();
  ~TStopSignals();
  TStopSignals(const TStopSignals &) = delete;
  TStopSignals &operator=(const TStopSignals &) = delete;

  // Called on the GUI thread with the signal's number.
  std::function<void(int ASignal)> OnSignal;

 private:
  int FFds[2] = {-1, -1};
  std::unique_ptr<QSocketNotifier> FNotifier;
};
