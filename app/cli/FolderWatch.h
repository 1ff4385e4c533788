// Tells when the FLV files of a folder (and, when recursive, of the folders
// below it) are finished by their writers, through inotify:
// - a file closed after writing is settled once its size and modification
//   time have stayed the same for the settle time; writing to it again
//   (IN_MODIFY) puts it back to waiting for its next close;
// - a file moved in (renamed from elsewhere) is settled at once: it came
//   whole;
// - a file present when watching starts (or in a folder created or moved
//   in later, or after the kernel's event queue overflowed) counts as closed
//   when it was first seen.
// A file is an FLV by its name (".flv" in any case); hidden names (a
// writer's temporary) are not. What is kept per file is its path, its stamp
// and a time: nothing is opened before it settles.
//
// Threads: one (the watch's main thread). Failure: Open reports why the
// folder cannot be watched; a subfolder that cannot be watched is reported
// once on stderr and passed over.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "InputStamp.h"

class TFolderWatch {
 public:
  using TClock = std::chrono::steady_clock;

  TFolderWatch(std::string AFolder, bool ARecursive, std::chrono::milliseconds ASettle);
  ~TFolderWatch();
  TFolderWatch(const TFolderWatch &) = delete;
  TFolderWatch &operator=(const TFolderWatch &) = delete;

  // Says whether a file found present waits to settle (false: it needs
  // nothing, converted before, say).
  using TPresentTest = std::function<bool(const std::string &APath)>;
  // Starts watching and takes the files present.
  bool Open(const TPresentTest &APresent, std::string &AError);
  int Fd() const { return FFd; }
  // Takes the events that have come; false when the watched folder itself
  // went away (removed, moved or unmounted).
  bool ReadEvents();
  // The files settled by now, each once.
  std::vector<std::string> TakeSettled();
  // Milliseconds until the next file may settle (-1: none waits on a time).
  int MillisToNextSettle() const;
  // Waits for APath to settle again (a file that changed while converting).
  void Recheck(const std::string &APath) { Candidate(APath, false); }
  size_t Waiting() const { return FCandidates.size(); }

  static bool IsFlvName(const std::string &AName);

 private:
  struct TCandidate {
    TInputStamp Stamp;
    TClock::time_point Due;
    bool Writing = false;  // written to since its last close
  };
  // Watches AFolder (and below it when recursive) and takes its files.
  void AddFolder(const std::string &AFolder);
  void Candidate(const std::string &APath, bool AWhole);
  void Forget(const std::string &APath);

  std::string FFolder;
  bool FRecursive;
  std::chrono::milliseconds FSettle;
  int FFd = -1;
  int FRootWatch = -1;
  std::map<int, std::string> FWatches;  // watch descriptor -> folder
  std::map<std::string, TCandidate> FCandidates;
  TPresentTest FPresent;
};
