// The dates recorders write into onMetaData, as the output's creation time takes them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "MediaDate.h"

namespace {

TEST(MediaDate, TheFormsRecordersWriteAreRead)
{
  // Zone-less dates are local time: read here in a zone an hour east of UTC.
  const char *saved = std::getenv("TZ");
  const std::string before = saved ? saved : "";
  setenv("TZ", "CET-1", 1);
  tzset();
  const int64_t at = 1796678724;  // 2026-12-07 21:25:24 UTC
  const struct { const char *Text; int64_t Want; } cases[] = {
      {"Mon Dec 07 21:25:24 2026", at - 3600},
      {"Mon Dec  7 21:25:24 2026\n", at - 3600},
      {"Mon Dec 07 2026 21:25:24 GMT+0100 (CET)", at - 3600},
      {"Mon Dec 07 21:25:24 UTC 2026", at},
      {"2026-12-07T21:25:24Z", at},
      {"2026-12-07T21:25:24.250000Z", at},
      {"2026-12-07T22:25:24+01:00", at},
      {"2026-12-07T20:25:24-0100", at},
      {"2026-12-07 21:25:24", at - 3600},
      {"2026-12-07", at - 21 * 3600 - 25 * 60 - 24 - 3600},
      // Nothing a date can be read from.
      {"", -1}, {"yesterday", -1}, {"Mon Dec 07 2026", -1}, {"2026-13-07T21:25:24Z", -1},
      {"2026-12-07T21:25:24+25:00", -1}, {"Mon Foo 07 21:25:24 2026", -1},
  };
  for (const auto &c : cases) EXPECT_EQ(ParseMediaDate(c.Text), c.Want) << '"' << c.Text << '"';
  saved ? setenv("TZ", before.c_str(), 1) : unsetenv("TZ");
  tzset();
}

}  // namespace
