// Runs an external program (ffmpeg, ffprobe, our command line) to the end and
// hands back its exit code, output, error text, wall time and peak memory.
//
// Any thread; each call forks one child. Never throws: a program that cannot
// be started gives exit code 127.
#pragma once

#include <string>
#include <vector>

namespace qvtest {

struct TProcessResult {
  int Code = -1;  // exit code; -1 when killed by a signal
  bool TimedOut = false;
  std::string Out, Err;
  double Seconds = 0;    // wall-clock time
  long PeakKBytes = 0;   // the child's maximum resident set size
  bool Ok() const { return Code == 0 && !TimedOut; }
};

// AArgs[0] is searched in PATH. stdout and stderr go through temporary files,
// so no pipe can fill and stall the child. A child still running after
// ATimeoutSeconds (> 0) is killed and reported as timed out.
TProcessResult RunProcess(const std::vector<std::string> &AArgs, double ATimeoutSeconds = 0);

// The command as a shell would show it, for messages.
std::string CommandText(const std::vector<std::string> &AArgs);

}  // namespace qvtest
