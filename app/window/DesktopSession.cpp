// TDesktopSession (see DesktopSession.h).
#include "DesktopSession.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

namespace {

const char *const AppName = "Quenvaro";
const char *const ScreenSaverService = "org.freedesktop.ScreenSaver";
const char *const ScreenSaverPath = "/org/freedesktop/ScreenSaver";

}  // namespace

TDesktopSession::TDesktopSession() : TDesktopSession(QDBusConnection::sessionBus(), QDBusConnection::systemBus()) {}

TDesktopSession::TDesktopSession(const QDBusConnection &ASession, const QDBusConnection &ASystem)
    : FSession(ASession), FSystem(ASystem), FContext(std::make_unique<QObject>())
{
}

TDesktopSession::~TDesktopSession()
{
  ReleaseSleep();
  FContext.reset();  // answers still on their way find no one
}

void TDesktopSession::Notify(const QString &ASummary, const QString &ABody)
{
  if (!FSession.isConnected()) return;
  QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
                                                     QStringLiteral("/org/freedesktop/Notifications"),
                                                     QStringLiteral("org.freedesktop.Notifications"),
                                                     QStringLiteral("Notify"));
  QVariantMap hints;
  hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("quenvaro"));
  call << QString::fromLatin1(AppName) << uint32_t(0) << QStringLiteral("quenvaro") << ASummary << ABody
       << QStringList() << hints << int32_t(-1);
  // Nothing to do with the answer, nor with its absence.
  FSession.send(call);
}

void TDesktopSession::InhibitSleep(const QString &AReason)
{
  if (FHeld) return;
  FHeld = true;
  const int hold = ++FHold;
  if (FSession.isConnected()) {
    QDBusMessage call = QDBusMessage::createMethodCall(QString::fromLatin1(ScreenSaverService),
                                                       QString::fromLatin1(ScreenSaverPath),
                                                       QString::fromLatin1(ScreenSaverService),
                                                       QStringLiteral("Inhibit"));
    call << QString::fromLatin1(AppName) << AReason;
    auto *watcher = new QDBusPendingCallWatcher(FSession.asyncCall(call), FContext.get());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, FContext.get(),
                     [this, hold](QDBusPendingCallWatcher *AWatcher) {
                       QDBusPendingReply<uint32_t> reply = *AWatcher;
                       AWatcher->deleteLater();
                       if (reply.isError()) return;
                       // Released before the answer came: give the hold back at once.
                       if (hold != FHold || !FHeld)
                         UnInhibitScreenSaver(reply.value());
                       else
                         FCookie = reply.value();
                     });
  }
  if (FSystem.isConnected()) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep:idle") << QString::fromLatin1(AppName) << AReason << QStringLiteral("block");
    auto *watcher = new QDBusPendingCallWatcher(FSystem.asyncCall(call), FContext.get());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, FContext.get(),
                     [this, hold](QDBusPendingCallWatcher *AWatcher) {
                       QDBusPendingReply<QDBusUnixFileDescriptor> reply = *AWatcher;
                       AWatcher->deleteLater();
                       // A late answer's lock closes with the reply.
                       if (!reply.isError() && hold == FHold && FHeld) FLock = reply.value();
                     });
  }
}

void TDesktopSession::ReleaseSleep()
{
  if (!FHeld) return;
  FHeld = false;
  if (FCookie) UnInhibitScreenSaver(*FCookie);
  FCookie.reset();
  FLock = QDBusUnixFileDescriptor();
}

void TDesktopSession::UnInhibitScreenSaver(uint32_t ACookie)
{
  QDBusMessage call = QDBusMessage::createMethodCall(QString::fromLatin1(ScreenSaverService),
                                                     QString::fromLatin1(ScreenSaverPath),
                                                     QString::fromLatin1(ScreenSaverService),
                                                     QStringLiteral("UnInhibit"));
  call << ACookie;
  FSession.send(call);
}
