// The record a batch leaves for its operator (--report FILE): one JSON
// object per line and per input, appended as each input ends and flushed to
// disk at once, so it survives a crash of the process or of its machine.
// Reports of several shards (or of reruns) can simply be concatenated; the
// last record of an input tells what became of it.
//
// Record fields: "file" (position in the list, from 0), "input", "output"
// (null when none was named), "status" ("done", "skipped", "failed",
// "stopped"), "error" (null unless failed), "warnings" (an array of
// {"code", "text"}, empty unless a done file's input ended early, was cut by
// a read error or lost data), "input_size" and "output_size"
// (bytes, null when there is no such file), "input_duration" and
// "output_duration" (seconds of media, null when unknown), "seconds" (wall
// time the conversion took), "shard" ("K/N"), "host" and "time" (UTC, when
// the record was written), "verification" (null unless --verify: "passed",
// "reason" (null when passed), "seconds" it took, and per stream "kind",
// "passed", "input_duration", "output_duration", "input_frames",
// "expected_frames", "output_frames" and "decode_errors").
//
// Threads: the batch's main thread only.
// Failure: Open reports why the file cannot be opened; a failed write is
// reported on stderr once and remembered in Failed().
#pragma once

#include <string>

#include "BatchReport.h"
#include "Manifest.h"

class TRunRecord {
 public:
  TRunRecord() = default;
  ~TRunRecord();
  TRunRecord(const TRunRecord &) = delete;
  TRunRecord &operator=(const TRunRecord &) = delete;

  // Opens AFileName for appending, creating it when missing.
  bool Open(const std::string &AFileName, const TShard &AShard, std::string &AError);
  bool IsOpen() const { return FFd >= 0; }
  // Appends AFile's record (nothing when no file is open).
  void Append(const TBatchFile &AFile);
  bool Failed() const { return FFailed; }

 private:
  std::string FFileName;
  std::string FShard;
  std::string FHost;
  int FFd = -1;
  bool FFailed = false;
};
