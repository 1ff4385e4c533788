// TmsEstTimer: the tick's arithmetic with a controlled clock, enabling rules,
// and real ticks from the Qt timer.
#include <gtest/gtest.h>

#include <QTest>
#include <QThread>
#include <stdexcept>

#include "Main.h"
#include "msEstTimer.h"

namespace {

constexpr double Second = 1.0 / 86400.0;

// A timer with a hand-moved clock that records what it reports.
struct TTimerProbe {
  TmsEstTimer Timer;
  double Now = 45000.25;
  int32_t Current = 0, Total = 0;
  double Elapsed = -1, Estimate = -1;

  TTimerProbe() {
    Timer.Clock = [this] { return Now; };
    Timer.OnGetCurrentCount = [this](TmsEstTimer *, int32_t &C) { C = Current; };
    Timer.OnGetTotalCount = [this](TmsEstTimer *, int32_t &C) { C = Total; };
    Timer.OnDisplayElapsedTime = [this](TmsEstTimer *S, double T) { Elapsed = S == &Timer ? T : -2; };
    Timer.OnDisplayEstTime = [this](TmsEstTimer *S, double T) { Estimate = S == &Timer ? T : -2; };
  }
};

}  // namespace

TEST(EstTimer, EstimateProjectsTheWholeJobAtTheObservedRate) {
  TTimerProbe p;
  p.Timer.SetEnabled(true);
  p.Current = 25, p.Total = 100, p.Now += 30 * Second;
  p.Timer.Tick();
  EXPECT_NEAR(p.Elapsed, 30 * Second, 1e-9);
  EXPECT_NEAR(p.Estimate, 120 * Second, 1e-9);

  p.Current = 0;
  p.Timer.Tick();
  EXPECT_EQ(p.Estimate, 0.0);
}

TEST(EstTimer, EnablingKeepsOrRestartsTheStartTime) {
  TTimerProbe p;
  EXPECT_EQ(p.Timer.Interval(), 1000u);
  EXPECT_FALSE(p.Timer.Enabled());
  EXPECT_EQ(p.Timer.StartedAt(), 0.0);
  p.Timer.SetVersion("2.0");
  EXPECT_EQ(p.Timer.Version(), "1.0");  // read only

  p.Timer.SetEnabled(true);
  const double first = p.Timer.StartedAt();
  EXPECT_EQ(first, p.Now);
  p.Now += 10 * Second;
  p.Timer.SetEnabled(true);  // already enabled: the elapsed time runs on
  EXPECT_EQ(p.Timer.StartedAt(), first);

  // Interval 0 stops the ticks but keeps the start.
  p.Timer.SetInterval(0);
  EXPECT_FALSE(p.Timer.Armed());
  EXPECT_EQ(p.Timer.StartedAt(), first);
  p.Timer.SetInterval(20);
  EXPECT_TRUE(p.Timer.Armed());

  p.Timer.SetEnabled(false);
  EXPECT_EQ(p.Timer.StartedAt(), 0.0);
  EXPECT_FALSE(p.Timer.Armed());
  p.Timer.SetEnabled(true);
  EXPECT_EQ(p.Timer.StartedAt(), p.Now);
}

TEST(EstTimer, TicksArriveOnTheOwningThreadAndSurviveHandlerExceptions) {
  TmsEstTimer timer;
  int ticks = 0, errors = 0;
  QThread *tickThread = nullptr;
  timer.OnDisplayElapsedTime = [&](TmsEstTimer *, double) {
    tickThread = QThread::currentThread();
    if (++ticks == 1) throw std::runtime_error("handler failed");
  };
  auto saved = TmsEstTimer::ExceptionHandler;
  TmsEstTimer::ExceptionHandler = [&](const std::exception &E) {
    EXPECT_STREQ(E.what(), "handler failed");
    ++errors;
  };
  timer.SetInterval(10);
  timer.SetEnabled(true);
  EXPECT_TRUE(QTest::qWaitFor([&] { return ticks >= 3; }, 5000));
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(tickThread, QThread::currentThread());

  timer.SetEnabled(false);
  const int stoppedAt = ticks;
  QTest::qWait(60);
  EXPECT_EQ(ticks, stoppedAt);
  TmsEstTimer::ExceptionHandler = saved;
}

TEST(TimeText, ShowsTheTimeOfDay) {
  for (const auto &[t, text] : {std::pair{0.0, "00:00:00"}, {120 * Second, "00:02:00"}, {25.0 / 24.0, "01:00:00"},
                                {3723 * Second + 5.0, "01:02:03"}, {-90 * Second, "00:01:30"}})
    EXPECT_EQ(TimeText(t), text) << t;
}
