// Outputs that appear whole or not at all: every output of the window and
// of the command line's batches is written so.
//
// An output is written under a temporary name in its final folder,
//   .<final file name>.<16 hex digits>.qvpart
// and renamed to its final name only once the engine has finished and closed
// it and its data is on disk. Whatever kills the process, a final name never
// holds a partial file.
//
// The writer holds an exclusive flock on its temporary from before the name
// exists (it is created as ...qvnew, locked, then renamed to ...qvpart) until
// it is renamed or removed. A later run tells a temporary left by a process
// that died (nobody holds its lock) from one still being written by another
// process, on this machine or another one sharing the folder, and removes only
// the first kind. It looks only at names built from its own final names, so a
// run never touches the temporaries of another shard, nor any file whose name
// it did not make.
//
// A live temporary also reserves its final name: OutputNameReserved tells
// the naming rule that another conversion (in this process or another) is
// about to publish under that name.
//
// No GUI toolkit and no media library here.
// Threads: one thread per object at a time; the free functions from any
// thread.
// Failure: results and messages; nothing throws.
#pragma once

#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

// A complete MP4: top-level boxes from an "ftyp" to exactly the end of the
// file, a "moov" among them. A file cut short (its writer killed, a full
// disk) fails, because its sizes run past the end or its index is missing.
bool IsCompleteMp4(const std::string &APath);

// Whether a temporary of AFinal is being written: one whose writer still
// holds its lock (a dead writer's does not count).
bool OutputNameReserved(const std::string &AFinal);

enum TPublishResult { prPublished, prFinalExists, prFailed };

class TAtomicOutput {
 public:
  TAtomicOutput() = default;
  ~TAtomicOutput() { Discard(); }
  TAtomicOutput(const TAtomicOutput &) = delete;
  TAtomicOutput &operator=(const TAtomicOutput &) = delete;

  // Creates and locks a fresh temporary for AFinal; false with AError.
  bool Create(const std::string &AFinal, std::string &AError);
  // The temporary's name: the file the engine writes.
  const std::string &Name() const { return FName; }

  // Flushes the temporary to disk and renames it to the final name.
  // AReplace: an existing final file is replaced; otherwise it is kept and
  // prFinalExists returned (the temporary stays, for Discard). prFailed with
  // AError when the temporary is gone or the rename fails.
  TPublishResult Publish(bool AReplace, std::string &AError) { return PublishAs(FFinal, AReplace, AError); }
  // The same under another final name (in the same folder): the name
  // reserved was taken meanwhile.
  TPublishResult PublishAs(const std::string &AFinal, bool AReplace, std::string &AError);
  // Gives the temporary these access and modification times (futimens);
  // false when it cannot.
  bool SetTimes(const struct timespec ATimes[2]);
  // Removes the temporary (when it is still ours) and releases its lock.
  void Discard();

 private:
  std::string FFinal, FName;
  int FFd = -1;  // open on the temporary, holding its lock
};

// Removes the temporaries of given final names that their writers left
// behind when they died. Each folder is listed once, at its first use: call
// Sweep for a final name before creating any temporary in its folder.
class TTempSweeper {
 public:
  // The names of the abandoned temporaries of AFinal that were removed.
  // Temporaries whose writer still holds their lock are left alone.
  std::vector<std::string> Sweep(const std::string &AFinal);

 private:
  // Folder -> (final file name as it appears in temporaries -> temporaries).
  std::map<std::string, std::multimap<std::string, std::string>> FFolders;
};
