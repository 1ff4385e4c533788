// The date a recording was made (see MediaDate.h).
#include "MediaDate.h"

#include <strings.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <ctime>
#include <sstream>
#include <vector>

#include "AVFormatHlpr.h"
#include "AVUtilHlpr.h"

namespace {

bool ValidDate(const struct tm &ATm)
{
  return ATm.tm_year >= 4 && ATm.tm_year <= 8099 && ATm.tm_mon >= 0 && ATm.tm_mon <= 11 && ATm.tm_mday >= 1 &&
         ATm.tm_mday <= 31 && ATm.tm_hour >= 0 && ATm.tm_hour <= 23 && ATm.tm_min >= 0 && ATm.tm_min <= 59 &&
         ATm.tm_sec >= 0 && ATm.tm_sec <= 60;
}

// Seconds since the epoch of ATm, read as UTC less AOffset seconds, or as
// local time when there is no zone.
int64_t ToUnix(struct tm ATm, bool AZoned, int AOffset)
{
  if (!ValidDate(ATm)) return -1;
  if (AZoned) return static_cast<int64_t>(timegm(&ATm)) - AOffset;
  ATm.tm_isdst = -1;
  return static_cast<int64_t>(mktime(&ATm));
}

// "+01:00", "+0100", "+01" after a zone word or a time: seconds east of UTC.
bool ParseOffset(const std::string &AText, int &AOffset)
{
  if (AText.empty()) {
    AOffset = 0;
    return true;
  }
  if (AText[0] != '+' && AText[0] != '-') return false;
  std::string digits;
  for (size_t i = 1; i < AText.size(); ++i) {
    if (std::isdigit(static_cast<unsigned char>(AText[i])))
      digits += AText[i];
    else if (AText[i] != ':')
      return false;
  }
  if (digits.size() != 2 && digits.size() != 4) return false;
  const int hours = std::stoi(digits.substr(0, 2)), minutes = digits.size() == 4 ? std::stoi(digits.substr(2)) : 0;
  if (hours > 14 || minutes > 59) return false;
  AOffset = (AText[0] == '-' ? -1 : 1) * (hours * 3600 + minutes * 60);
  return true;
}

int64_t ParseIso(const std::string &AText)
{
  struct tm tmv {};
  int consumed = 0;
  if (std::sscanf(AText.c_str(), "%4d-%2d-%2d%n", &tmv.tm_year, &tmv.tm_mon, &tmv.tm_mday, &consumed) != 3 ||
      consumed != 10)
    return -1;
  tmv.tm_year -= 1900;
  tmv.tm_mon -= 1;
  size_t pos = 10;
  if (pos < AText.size() && (AText[pos] == 'T' || AText[pos] == ' ')) {
    int h = 0, m = 0, s = 0;
    consumed = 0;
    if (std::sscanf(AText.c_str() + pos + 1, "%2d:%2d:%2d%n", &h, &m, &s, &consumed) != 3 || consumed != 8) return -1;
    tmv.tm_hour = h, tmv.tm_min = m, tmv.tm_sec = s;
    pos += 9;
    if (pos < AText.size() && AText[pos] == '.')
      for (++pos; pos < AText.size() && std::isdigit(static_cast<unsigned char>(AText[pos]));) ++pos;
  }
  std::string zone = AText.substr(pos);
  while (!zone.empty() && std::isspace(static_cast<unsigned char>(zone.front()))) zone.erase(0, 1);
  if (zone.empty()) return ToUnix(tmv, false, 0);
  if (zone == "Z" || zone == "z") return ToUnix(tmv, true, 0);
  int offset = 0;
  return ParseOffset(zone, offset) ? ToUnix(tmv, true, offset) : -1;
}

// The words of the C library's date text, in the orders recorders write them.
int64_t ParseWords(const std::string &AText)
{
  static const char *const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                        "jul", "aug", "sep", "oct", "nov", "dec"};
  static const char *const kDays[] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};
  struct tm tmv {};
  bool month = false, day = false, year = false, time = false, zoned = false;
  int offset = 0;
  std::istringstream words(AText);
  std::string w;
  while (words >> w) {
    if (w.front() == '(') break;  // "(CET)": the zone's name, told already
    while (!w.empty() && (w.back() == ',' || w.back() == '.')) w.pop_back();
    if (w.empty()) continue;
    bool named = false;
    for (int i = 0; i < 12 && !named; ++i)
      if (w.size() >= 3 && strncasecmp(w.c_str(), kMonths[i], 3) == 0 && !month) {
        tmv.tm_mon = i;
        month = named = true;
      }
    for (int i = 0; i < 7 && !named; ++i)
      if (w.size() >= 3 && strncasecmp(w.c_str(), kDays[i], 3) == 0) named = true;
    if (named) continue;
    if (strncasecmp(w.c_str(), "GMT", 3) == 0 || strncasecmp(w.c_str(), "UTC", 3) == 0) {
      if (!ParseOffset(w.substr(3), offset)) return -1;
      zoned = true;
      continue;
    }
    if (w == "Z") {
      zoned = true;
      continue;
    }
    if (w.find(':') != std::string::npos) {
      int h = 0, m = 0, s = 0, consumed = 0;
      if (time || std::sscanf(w.c_str(), "%2d:%2d:%2d%n", &h, &m, &s, &consumed) != 3 ||
          consumed != static_cast<int>(w.size()))
        return -1;
      tmv.tm_hour = h, tmv.tm_min = m, tmv.tm_sec = s;
      time = true;
      continue;
    }
    if (w.find_first_not_of("0123456789") != std::string::npos) return -1;
    if (w.size() == 4 && !year) {
      tmv.tm_year = std::stoi(w) - 1900;
      year = true;
    } else if (w.size() <= 2 && !day) {
      tmv.tm_mday = std::stoi(w);
      day = true;
    } else {
      return -1;
    }
  }
  if (!(month && day && year && time)) return -1;
  return ToUnix(tmv, zoned, offset);
}

}  // namespace

int64_t ParseMediaDate(const std::string &AText)
{
  std::string text = AText;
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.erase(0, 1);
  if (text.empty()) return -1;
  const int64_t t = std::isdigit(static_cast<unsigned char>(text[0])) ? ParseIso(text) : ParseWords(text);
  return t > 0 ? t : -1;
}

int64_t InputCreationTime(const AVFormatContext *AInput)
{
  if (!AInput) return -1;
  // onMetaData's words first: the recorder's own; the container's last.
  for (const char *key : {"creationdate", "creation_date", "metadatadate", "creation_time"})
    if (const AVDictionaryEntry *e = AVUtilLib.av_dict_get(AInput->metadata, key, nullptr, 0)) {
      const int64_t t = ParseMediaDate(e->value);
      if (t > 0) return t;
    }
  if (!AInput->url) return -1;
  const std::string url = AInput->url;
  const std::string path = url.rfind("file:", 0) == 0 ? url.substr(5) : url;
  struct stat st {};
  if (path.empty() || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_mtime);
}
