// JSON text for the command line's machine-readable output: the --json
// events and the --report records, one object per line.
//
// Threads: pure functions. Failure: none; bytes that are not valid UTF-8
// (file names on Linux may hold any byte) become U+FFFD, and control
// characters are escaped, so a line always parses.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

// Objects keep their fields in the order they were added.
using TJson = nlohmann::ordered_json;

// AValue as one line of JSON text, without the newline.
inline std::string JsonLine(const TJson &AValue)
{
  return AValue.dump(-1, ' ', false, TJson::error_handler_t::replace);
}
