// quenvaro-cli check [--json] FILE...: what is wrong with each FLV file,
// from our FLV reader alone (no media libraries needed).
//
// Main thread. Never throws on bad files: each is judged on its own.
#pragma once

#include <string>
#include <vector>

// Exit statuses: the worst over the files.
enum TCheckStatus : int { csClean = 0, csWarnings = 1, csErrors = 2, csNotReadable = 3 };

// AArgs: the arguments after "check". Lists the findings on stdout (text, or
// one JSON object per finding with --json) and a verdict per file.
int CheckFiles(const std::vector<std::string> &AArgs);
