// Shared by the command-line suites: running programs as children, reading
// their JSON lines through Python's strict parser, and a fixture that makes
// FLV files and a small preset file in a scratch folder.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "TestEnv.h"

namespace clitest {

using TEvent = std::map<std::string, std::string>;
using TArgs = std::vector<std::string>;

struct TRun {
  int Code = -1;  // exit code; -1 when killed by a signal
  std::string Out, Err;
  long PeakKBytes = 0;  // the child's maximum resident set size
  std::string All() const { return Out + Err; }
};

std::string Cli();

// What a child gets besides its arguments.
struct TChildSetup {
  // "NAME=VALUE" sets a variable, "NAME" removes it.
  std::vector<std::string> Env;
  bool HasStdin = false;  // the child reads Stdin (otherwise ours)
  std::string Stdin;
  rlim_t FileLimit = 0;  // > 0: the child's open-file limit
  // > 0: the largest file the child may write, as on a full disk (writes
  // past it fail instead of raising SIGXFSZ).
  rlim_t FileSizeLimit = 0;
};

// A program (searched in PATH) running as a child: stdout through a pipe that
// is read as it comes, stderr through a file (so no pipe can fill and stall
// the child). Destruction kills and reaps a child still running.
class TChild {
 public:
  TChild(const std::string &AProgram, TArgs AArgs, const TChildSetup &ASetup = {});
  ~TChild();
  TChild(const TChild &) = delete;
  TChild &operator=(const TChild &) = delete;

  // Reads what stdout has, waiting up to AMilliseconds; false once it is closed.
  bool Poll(int AMilliseconds);
  const std::string &Out() const { return FOut; }
  // What the child has written to stderr so far.
  std::string ErrSoFar() const;
  pid_t Pid() const { return FPid; }
  void Signal(int ASignal);
  // Reads stdout to its end and reaps the child.
  TRun Wait();

 private:
  pid_t FPid = -1;
  int FOutFd = -1;
  FILE *FErr = nullptr;
  std::string FOut;
};

// Runs AProgram to its end. With AInterruptOn, SIGINT is sent once stdout
// holds that text.
TRun RunProgram(const std::string &AProgram, const TArgs &AArgs, const std::string &AInterruptOn = {},
                const TChildSetup &ASetup = {});
TRun RunCli(const TArgs &AArgs, const std::string &AInterruptOn = {}, const TChildSetup &ASetup = {});

std::vector<std::string> Split(const std::string &AText, const std::string &ASep);
bool Has(const std::string &AText, const std::string &APart);

// A file's size, modification time and content, to show it was never touched.
std::string Stamp(const std::string &APath);

class TBatchFixture : public ::testing::Test {
 protected:
  void SetUp() override;

  // An FLV of the kind the converter is for: FLV1 video, MP3 audio.
  std::string MakeFlv(const std::string &AName, double ASeconds = 1.5, int AWidth = 320, int AHeight = 240);
  // A small preset file keeps the conversions quick.
  std::string Presets();
  // Every line of AText must be one JSON object (strict UTF-8, no NaN),
  // by Python's reader; fails the test otherwise. Top-level fields come back
  // as text: strings decoded, other values as JSON.
  std::vector<TEvent> Events(const std::string &AText);
  // The tiny preset's output by default.
  static void ExpectConverted(const std::string &APath, int AWidth = 160, int AHeight = 120, int ARate = 22050,
                              int AChannels = 1);

  qvtest::TScratchDir Dir;
};

}  // namespace clitest
