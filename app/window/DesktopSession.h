// TDesktopSession: what the window asks of the desktop besides drawing: a
// notification when a conversion ends while the user looks elsewhere, and a
// hold that keeps the session from idling into sleep while a conversion
// runs. Both go through the desktop's D-Bus services:
//   org.freedesktop.Notifications (session bus)  Notify
//   org.freedesktop.ScreenSaver   (session bus)  Inhibit / UnInhibit
//   org.freedesktop.login1        (system bus)   Inhibit "sleep:idle", a lock held as a file
// A bus or service that is not there is skipped without a word.
//
// Threads: the GUI thread only (the answers arrive through its event loop).
// Every call is asynchronous, so a slow or hung service never holds up the
// window. A hold still taken is released on destruction (and the services
// drop the holds of a process that goes away).
#pragma once

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

class TDesktopSession {
 public:
  // The desktop's own session and system buses.
  TDesktopSession();
  // Other buses (a test's private one); a bus that is not connected is skipped.
  TDesktopSession(const QDBusConnection &ASession, const QDBusConnection &ASystem);
  ~TDesktopSession();
  TDesktopSession(const TDesktopSession &) = delete;
  TDesktopSession &operator=(const TDesktopSession &) = delete;

  void Notify(const QString &ASummary, const QString &ABody);
  // Keeps the session awake until ReleaseSleep; while held, a second call does nothing.
  void InhibitSleep(const QString &AReason);
  void ReleaseSleep();
  bool SleepInhibited() const { return FHeld; }

 private:
  void UnInhibitScreenSaver(uint32_t ACookie);

  QDBusConnection FSession, FSystem;
  // Parent of the calls in flight: their answers die with it.
  std::unique_ptr<QObject> FContext;
  bool FHeld = false;
  int FHold = 0;  // which hold a late answer belongs to
  std::optional<uint32_t> FCookie;  // the screen saver's
  QDBusUnixFileDescriptor FLock;    // login1's; closing it ends the hold
};
