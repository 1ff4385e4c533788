// The date a recording was made, as its input tells it: onMetaData's
// creation date (recorders write "creationdate", "creation_date" or
// "metadatadate", in the C library's text form or in ISO 8601), a
// container's creation_time, else the file's modification time. The output's
// creation time (the MP4's movie header) is taken from it.
//
// Threads: any. Failure: -1 when nothing tells a date.
#pragma once

#include <cstdint>
#include <string>

struct AVFormatContext;

// Seconds since the Unix epoch of AText, one of
//   "Mon Dec 07 21:25:24 2026" (also with "GMT+0100" or "UTC" among the words,
//   and in the order "Mon Dec 07 2026 21:25:24"),
//   "2026-12-07T21:25:24Z" (a space for the T, a fraction, "+01:00" or
//   "+0100" for the Z, or a date alone);
// a date without a zone is local time. -1 when AText is none of these.
int64_t ParseMediaDate(const std::string &AText);

// The creation date AInput's tags give, else the modification time of the
// file AInput reads; -1 when neither is known.
int64_t InputCreationTime(const AVFormatContext *AInput);
