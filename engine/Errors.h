// Exception types of the engine. The component catches them by
// std::exception, so none crosses a thread boundary.
#pragma once

#include <stdexcept>
#include <string>

// Every engine operation failure: a finished English message.
class FFMpegException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A malformed number in an option value: "'%s' is not a valid integer value"
// or "'%s' is not a valid floating point value".
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A violated precondition of an option value (e.g. a tag not 4 characters),
// with the source file and line appended as "(FFmpeg, line N)".
class EAssertionFailed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
