// Writing JSON text for the command line's --json output.
//
// Threads: pure functions. Failure: none; bytes that are not valid UTF-8
// (file names on Linux may hold any byte) become U+FFFD so the line always
// parses.
#pragma once

#include <cstdint>
#include <string>

// AText as a JSON string literal, quotes included.
std::string JsonString(const std::string &AText);

// One JSON object built field by field, in call order.
class TJsonObject {
 public:
  TJsonObject &Add(const char *AKey, const std::string &AValue);
  TJsonObject &Add(const char *AKey, const char *AValue) { return Add(AKey, std::string(AValue)); }
  TJsonObject &Add(const char *AKey, int64_t AValue);
  TJsonObject &Add(const char *AKey, int AValue) { return Add(AKey, static_cast<int64_t>(AValue)); }
  TJsonObject &Add(const char *AKey, bool AValue);
  TJsonObject &AddNull(const char *AKey);
  std::string Text() const { return FText + "}"; }

 private:
  void Key(const char *AKey);
  std::string FText = "{";
};
