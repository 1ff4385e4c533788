// The texts the window shows for sizes and times, and where the user guide
// lies. No state; any thread.
#pragma once

#include <QString>

#include <cstdint>
#include <string>

// "%8.2f Mbytes" above 1 048 576 bytes, "%8.2f Kbytes" above 1024, else
// "<n> bytes"; the decimal separator is the locale's.
std::string SizeText(int64_t ASize);
// The time of day of a date-time value as "hh:mm:ss" (25 hours: 01:00:00).
std::string TimeText(double ATheTime);
// The time left of a job, from the timer's projected total and the elapsed
// time (both in days): total minus elapsed, never below 0; negative when
// there is no projection yet (a total of 0 or less).
double TimeLeft(double AEstimatedTotal, double AElapsed);

// The user guide beside an installed or a built program in AProgramFolder:
// the first of the known places that holds the file, else the place an
// installed program expects it.
QString UserGuideFile(const QString &AProgramFolder);
