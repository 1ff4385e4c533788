// Stop signals on the GUI thread (see StopSignals.h).
#include "StopSignals.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

// The writing end for the handler; -1 while no object listens.
std::atomic<int> SignalFd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "read from a signal handler");

const int kSignals[] = {SIGTERM, SIGHUP, SIGINT};

void OnStopSignal(int ASignal)
{
  const int saved = errno;
  const int fd = SignalFd.load();
  const unsigned char number = static_cast<unsigned char>(ASignal);
  if (fd >= 0) (void)!write(fd, &number, 1);
  errno = saved;
}

}  // namespace

TStopSignals::TStopSignals()
{
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, FFds) != 0) {
    FFds[0] = FFds[1] = -1;
    return;
  }
  FNotifier = std::make_unique<QSocketNotifier>(FFds[1], QSocketNotifier::Read);
  QObject::connect(FNotifier.get(), &QSocketNotifier::activated, FNotifier.get(), [this] {
    unsigned char number = 0;
    while (read(FFds[1], &number, 1) == 1)
      if (OnSignal) OnSignal(number);
  });
  SignalFd = FFds[0];
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int s : kSignals) sigaction(s, &sa, nullptr);
}

TStopSignals::~TStopSignals()
{
  if (FFds[0] < 0) return;
  for (int s : kSignals) signal(s, SIG_DFL);
  SignalFd = -1;
  FNotifier.reset();
  close(FFds[0]);
  close(FFds[1]);
}
