// Which inputs a batch converts: the lines of a manifest, and the share of
// them that one process of a sharded run takes.
//
// Threads: pure functions but for the reads of the file, standard input and
// the environment. Failure: false with a message in AError; nothing throws.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// Process Index of Count (0 <= Index < Count) takes the inputs whose position
// in the list, from 0, modulo Count is Index.
struct TShard {
  int Index = 0;
  int Count = 1;
  bool Takes(size_t APosition) const { return APosition % static_cast<size_t>(Count) == static_cast<size_t>(Index); }
  std::string Text() const { return std::to_string(Index) + "/" + std::to_string(Count); }
};

// One input path per line of AFileName ("-": standard input). Empty lines
// are skipped and a carriage return ending a line is dropped, so every shard
// of a run numbers the same inputs the same way. Fails when the file cannot
// be read, when a line holds a zero byte (no path can) and when no line names
// a file.
bool ReadManifest(const std::string &AFileName, std::vector<std::string> &AInputs, std::string &AError);

// "K/N" with 0 <= K < N, both decimal.
bool ParseShard(const std::string &AText, TShard &AShard, std::string &AError);

// The shard a job scheduler gave this process, the first of these that is set:
// - a Kubernetes Indexed Job sets JOB_COMPLETION_INDEX; the number of
//   completions is not in the environment, so AShards (--shards, 0 when not
//   given) must supply it;
// - a Slurm array job sets SLURM_ARRAY_TASK_ID and SLURM_ARRAY_TASK_COUNT
//   (and SLURM_ARRAY_TASK_MIN/STEP, which map arrays such as 1-4 or 0-30:10
//   onto 0..COUNT-1). An index that does not map onto one of COUNT shards is
//   refused, so no two tasks can take the same files.
using TGetEnv = std::function<const char *(const char *)>;
bool ShardFromEnvironment(int AShards, const TGetEnv &AGetEnv, TShard &AShard, std::string &AError);
