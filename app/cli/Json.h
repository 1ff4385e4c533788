// JSON text for the command line's machine-readable output: the --json
// events and the --report records, one object per line.
//
// Threads: pure functions. Failure: none; bytes that are not valid UTF-8
// (file names on Linux may hold any byte) become U+FFFD, and control
// characters are escaped, so a line always parses. A file name so changed
// ("input", "output", "file") would no longer name its file, so its real bytes
// follow it in a field of its own ("input_bytes", "output_bytes"): printable
// ASCII as it is, every other byte and '%' as %XX (URL percent-encoding).
#pragma once

#include <nlohmann/json.hpp>
#include <string>

// Objects keep their fields in the order they were added.
using TJson = nlohmann::ordered_json;

inline bool IsValidUtf8(const std::string &AText)
{
  const auto *p = reinterpret_cast<const unsigned char *>(AText.data());
  const auto *end = p + AText.size();
  while (p < end) {
    int more = 0;
    unsigned min = 0, c = *p++;
    if (c < 0x80) continue;
    if ((c & 0xE0) == 0xC0) more = 1, min = 0x80, c &= 0x1F;
    else if ((c & 0xF0) == 0xE0) more = 2, min = 0x800, c &= 0x0F;
    else if ((c & 0xF8) == 0xF0) more = 3, min = 0x10000, c &= 0x07;
    else return false;
    if (end - p < more) return false;
    for (; more > 0; --more, ++p) {
      if ((*p & 0xC0) != 0x80) return false;
      c = (c << 6) | (*p & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
  }
  return true;
}

// AName's bytes, percent-encoded as above.
inline std::string NameBytes(const std::string &AName)
{
  static const char Hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : AName) {
    if (c >= 0x20 && c < 0x7F && c != '%') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += Hex[c >> 4];
      out += Hex[c & 15];
    }
  }
  return out;
}

// AValue as one line of JSON text, without the newline.
inline std::string JsonLine(const TJson &AValue)
{
  auto needsBytes = [](const std::string &AKey, const TJson &AField) {
    return (AKey == "input" || AKey == "output" || AKey == "file") && AField.is_string() &&
           !IsValidUtf8(AField.get_ref<const std::string &>());
  };
  bool any = false;
  if (AValue.is_object())
    for (auto it = AValue.begin(); it != AValue.end(); ++it) any = any || needsBytes(it.key(), it.value());
  if (!any) return AValue.dump(-1, ' ', false, TJson::error_handler_t::replace);
  TJson copy = TJson::object();
  for (auto it = AValue.begin(); it != AValue.end(); ++it) {
    copy[it.key()] = it.value();
    if (needsBytes(it.key(), it.value()))
      copy[it.key() + "_bytes"] = NameBytes(it.value().get_ref<const std::string &>());
  }
  return copy.dump(-1, ' ', false, TJson::error_handler_t::replace);
}
