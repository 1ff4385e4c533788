// The desktop's services (notifications, the sleep holds of the screen saver
// and of login1) on a private D-Bus bus with stand-ins that record what they
// are asked, alone and as the window uses them.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QFileInfo>
#include <QProcess>

#include "DesktopSession.h"
#include "WindowFixture.h"

namespace {

// A bus of our own: dbus-daemon with a configuration that lets anyone own
// any name, listening in a scratch folder.
class TPrivateBus {
 public:
  TPrivateBus()
  {
    const std::string config = FDir.File("bus.conf");
    qvtest::WriteFile(config,
                      "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                      " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                      "<busconfig><type>session</type><listen>unix:dir=" + FDir.Path() + "</listen>"
                      "<auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                      "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
    FDaemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--config-file=") + QString::fromStdString(config),
                                                   QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    if (!FDaemon.waitForStarted(10000)) return;
    while (!FDaemon.canReadLine() && FDaemon.waitForReadyRead(10000)) {
    }
    FAddress = QString::fromUtf8(FDaemon.readLine()).trimmed();
  }
  ~TPrivateBus()
  {
    for (const QString &name : FNames) QDBusConnection::disconnectFromBus(name);
    FDaemon.terminate();
    FDaemon.waitForFinished(5000);
  }
  bool Running() const { return !FAddress.isEmpty(); }
  // A connection of its own to the bus.
  QDBusConnection Connect()
  {
    const QString name = QStringLiteral("qv-private-%1").arg(++FSerial);
    FNames.push_back(name);
    return QDBusConnection::connectToBus(FAddress, name);
  }

 private:
  qvtest::TScratchDir FDir;
  QProcess FDaemon;
  QString FAddress;
  QStringList FNames;
  int FSerial = 0;
};

// The desktop's three services in one object: answers as the real ones do
// and records every call ("Member arg, arg, ...").
class TFakeDesktop : public QDBusVirtualObject {
 public:
  explicit TFakeDesktop(QDBusConnection AConnection) : FConnection(AConnection)
  {
    for (const char *service : {"org.freedesktop.Notifications", "org.freedesktop.ScreenSaver", "org.freedesktop.login1"})
      Registered = FConnection.registerService(QString::fromLatin1(service)) && Registered;
    for (const char *path : {"/org/freedesktop/Notifications", "/org/freedesktop/ScreenSaver", "/org/freedesktop/login1"})
      Registered = FConnection.registerVirtualObject(QString::fromLatin1(path), this) && Registered;
  }
  ~TFakeDesktop() override
  {
    for (const char *path : {"/org/freedesktop/Notifications", "/org/freedesktop/ScreenSaver", "/org/freedesktop/login1"})
      FConnection.unregisterObject(QString::fromLatin1(path));
    if (FLockRead >= 0) close(FLockRead);
  }

  QString introspect(const QString &) const override { return {}; }

  bool handleMessage(const QDBusMessage &AMessage, const QDBusConnection &AConnection) override
  {
    QStringList args;
    for (const QVariant &v : AMessage.arguments()) args.push_back(v.toString());
    Calls.push_back(AMessage.interface() + "." + AMessage.member() + " " + args.join(", "));
    QDBusMessage reply;
    if (AMessage.member() == "Notify") {
      reply = AMessage.createReply(QVariant::fromValue(uint32_t(7)));
    } else if (AMessage.interface() == "org.freedesktop.ScreenSaver" && AMessage.member() == "Inhibit") {
      reply = AMessage.createReply(QVariant::fromValue(uint32_t(++FCookie)));
    } else if (AMessage.interface() == "org.freedesktop.login1.Manager" && AMessage.member() == "Inhibit") {
      // login1 hands out one end of a pipe and watches the other: the hold
      // ends when every copy of the handed end is closed.
      int fds[2];
      if (pipe2(fds, O_CLOEXEC) != 0) return false;
      if (FLockRead >= 0) close(FLockRead);
      FLockRead = fds[0];
      reply = AMessage.createReply(QVariant::fromValue(QDBusUnixFileDescriptor(fds[1])));
      close(fds[1]);
    } else {
      reply = AMessage.createReply();
    }
    AConnection.send(reply);
    return true;
  }

  // Whether the last login1 hold has ended (its pipe closed on the far side).
  bool LockReleased() const
  {
    pollfd p{FLockRead, POLLIN, 0};
    char c;
    return FLockRead >= 0 && poll(&p, 1, 0) == 1 && read(FLockRead, &c, 1) == 0;
  }
  bool Has(const QString &ACall) const { return std::find(Calls.begin(), Calls.end(), ACall) != Calls.end(); }

  bool Registered = true;
  std::vector<QString> Calls;

 private:
  QDBusConnection FConnection;
  uint32_t FCookie = 0;
  int FLockRead = -1;
};

const QString Inhibit = "org.freedesktop.ScreenSaver.Inhibit Quenvaro, ";
const QString Login = "org.freedesktop.login1.Manager.Inhibit sleep:idle, Quenvaro, ";

bool Wait(const std::function<bool()> &ACondition) { return QTest::qWaitFor(ACondition, 10000); }

}  // namespace

TEST(DesktopSession, HoldsTheSessionAwakeUntilReleasedAndNotifies)
{
  TPrivateBus bus;
  ASSERT_TRUE(bus.Running()) << "dbus-daemon did not start (scripts/install-deps.sh installs it)";
  TFakeDesktop fake(bus.Connect());
  ASSERT_TRUE(fake.Registered);
  const QDBusConnection client = bus.Connect();
  {
    TDesktopSession desktop(client, client);
    desktop.InhibitSleep("Converting video");
    EXPECT_TRUE(desktop.SleepInhibited());
    ASSERT_TRUE(Wait([&] { return fake.Has(Inhibit + "Converting video") && fake.Has(Login + "Converting video, block"); }));
    QTest::qWait(100);  // the answers arrive
    EXPECT_FALSE(fake.LockReleased());
    desktop.InhibitSleep("again");  // held already: nothing new
    desktop.ReleaseSleep();
    EXPECT_FALSE(desktop.SleepInhibited());
    ASSERT_TRUE(Wait([&] { return fake.Has("org.freedesktop.ScreenSaver.UnInhibit 1"); }));
    EXPECT_TRUE(Wait([&] { return fake.LockReleased(); }));
    EXPECT_EQ(std::count_if(fake.Calls.begin(), fake.Calls.end(), [](const QString &C) { return C.startsWith(Inhibit); }), 1);

    desktop.Notify("Conversion finished", "clip.flv -> clip_(new).mp4");
    ASSERT_TRUE(Wait([&] {
      return fake.Has("org.freedesktop.Notifications.Notify Quenvaro, 0, quenvaro, Conversion finished, "
                      "clip.flv -> clip_(new).mp4, , , -1");
    }));

    // Released before the answers came: the late hold is given back at once.
    desktop.InhibitSleep("short");
    desktop.ReleaseSleep();
    EXPECT_TRUE(Wait([&] { return fake.Has("org.freedesktop.ScreenSaver.UnInhibit 2"); }));
    EXPECT_TRUE(Wait([&] { return fake.LockReleased(); }));

    // Going away while held releases too.
    desktop.InhibitSleep("last");
    ASSERT_TRUE(Wait([&] { return fake.Has(Login + "last, block"); }));
    QTest::qWait(100);
  }
  EXPECT_TRUE(Wait([&] { return fake.Has("org.freedesktop.ScreenSaver.UnInhibit 3"); }));
  EXPECT_TRUE(Wait([&] { return fake.LockReleased(); }));
}

// No bus, or a bus without the services: nothing happens and nothing is said.
TEST(DesktopSession, MissingServicesAreSkippedSilently)
{
  TPrivateBus bus;
  ASSERT_TRUE(bus.Running());
  static std::vector<QString> said;
  said.clear();
  const QtMessageHandler before = qInstallMessageHandler(
      [](QtMsgType, const QMessageLogContext &, const QString &AText) { said.push_back(AText); });
  {
    const QDBusConnection empty = bus.Connect(), none(QStringLiteral("qv-not-connected"));
    for (const auto &[session, system] : {std::pair{empty, empty}, std::pair{none, none}}) {
      TDesktopSession desktop(session, system);
      desktop.InhibitSleep("Converting video");
      desktop.Notify("Conversion finished", "x");
      QTest::qWait(200);
      desktop.ReleaseSleep();
      EXPECT_FALSE(desktop.SleepInhibited());
    }
  }
  qInstallMessageHandler(before);
  EXPECT_TRUE(said.empty()) << said.front().toStdString();
}

// The window holds the session awake from Convert to the run's end, and
// announces the end only when it is not the active window.
using windowtest::WindowTest;

TEST_F(WindowTest, AConversionHoldsTheSessionAwakeAndAnnouncesItsEndUnseen)
{
  TPrivateBus bus;
  ASSERT_TRUE(bus.Running());
  TFakeDesktop fake(bus.Connect());
  const QDBusConnection client = bus.Connect();
  Form->Desktop = std::make_unique<TDesktopSession>(client, client);
  const auto in = Media("clip.flv", 1.0);

  Pick(in);
  Form->btnConvertClick();
  EXPECT_TRUE(Form->Desktop->SleepInhibited());
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_FALSE(Form->Desktop->SleepInhibited());
  ASSERT_TRUE(Wait([&] { return fake.Has("org.freedesktop.ScreenSaver.UnInhibit 1"); }));
  EXPECT_TRUE(fake.Has(Inhibit + "Converting video"));
  EXPECT_TRUE(Wait([&] {
    return fake.Has("org.freedesktop.Notifications.Notify Quenvaro, 0, quenvaro, Conversion finished, "
                    "clip.flv -> clip_(new).mp4, , , -1");
  }));

  // Seen by the user: no announcement.
  Show();
  Form->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get()));
  const size_t calls = fake.Calls.size();
  Pick(in);
  Form->btnConvertClick();
  ASSERT_TRUE(WaitForRunEnd());
  ASSERT_TRUE(Wait([&] { return fake.Has("org.freedesktop.ScreenSaver.UnInhibit 2"); }));
  QTest::qWait(200);
  for (size_t i = calls; i < fake.Calls.size(); ++i)
    EXPECT_FALSE(fake.Calls[i].contains("Notify")) << fake.Calls[i].toStdString();
}
