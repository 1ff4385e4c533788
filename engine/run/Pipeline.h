// The run's pipeline: the work of a conversion split into jobs that may run
// on stage threads, with every packet written in the order one thread would
// write it. It knows jobs, stages and tickets only: what a job does, which
// stage runs it and where its packets go are its user's.
//
// The user hands each job to the stage named by a key (the run uses its
// input streams): a job for a key with a stage of its own is queued to that
// stage's thread; any other job runs at once, on the calling thread. Each
// job gets a ticket in submission order; the packets it makes wait in the
// ticket with the sink they are for, and the writer function (on the
// submitting thread) is given the tickets strictly in that order. So the
// muxer sees the same calls in the same order whatever the number of
// threads, and the output is the same byte for byte.
//
// Ownership: the pipeline owns its stage threads, their queued jobs (with
// their packet references) and the tickets. Destruction asks the stages to
// stop, lets each finish the job it is running and joins them; jobs not yet
// run are dropped with their tickets.
// Threads: the methods but OwnsThread and Current are called on one thread,
// the submitting one (the run's); OwnsThread may be called from any thread,
// Current from any. A stage thread runs its jobs one at a time, in order.
// Failure: an exception thrown by a job is kept in its ticket and raised
// when the writer function rethrows it; a stage whose job failed runs no
// further job. Stage threads never wait for the submitting thread, so a
// full queue (which the submitting thread waits on) always drains.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "AVPtr.h"

namespace engine {

// What one job leaves for the writer.
struct TTicket {
  TTicket() = default;
  TTicket(const TTicket &) = delete;
  TTicket &operator=(const TTicket &) = delete;
  ~TTicket();
  void Add(void *ASink, const AVPacket &APkt);  // takes a reference to the packet's data

  std::vector<std::pair<void *, AVPacket *>> Packets;  // (sink, packet), the packets owned
  // Set on the job's thread right after the job; the writer applies it
  // after the packets (the counters the job left, say). May be empty.
  std::function<void()> Settle;
  const void *Key = nullptr;  // the stage key the job was submitted for
  int Result = 0;             // the job's result
  std::exception_ptr Error;
  bool Done = false;  // under the pipeline's lock
};

class TRunPipeline {
 public:
  using TJob = std::function<int()>;
  // Runs on the job's thread right after the job, whether it failed or not.
  using TAfter = std::function<void(TTicket &)>;
  using TWriter = std::function<void(TTicket &)>;

  explicit TRunPipeline(TWriter AWriter);
  ~TRunPipeline();
  TRunPipeline(const TRunPipeline &) = delete;
  TRunPipeline &operator=(const TRunPipeline &) = delete;

  // Gives AKey's jobs a thread of their own from now on; AOnStart runs
  // first on that thread (its priority, say).
  void AddStage(const void *AKey, std::function<void()> AOnStart);
  // Runs AJob for AKey (on its stage, or at once). Waits while the stage's
  // queue is full.
  void Submit(const void *AKey, TJob AJob, TAfter AAfter);
  // Runs AJob at once on the calling thread, in order with the jobs before it.
  void RunNow(const void *AKey, const TJob &AJob, const TAfter &AAfter);
  // Writes the finished tickets at the front; then, while more than
  // AKeepAtMost remain, waits for the front one and writes it.
  void Write(std::size_t AKeepAtMost);
  // The ticket of the job running on the calling thread, or null.
  static TTicket *Current();
  // True when ATid is one of the stage threads.
  bool OwnsThread(pid_t ATid) const;

 private:
  struct TQueued {
    TJob Job;
    TAfter After;
    TTicket *Ticket;
  };
  struct TStage {
    const void *Key = nullptr;
    std::thread Thread;
    std::deque<TQueued> Jobs;
    std::condition_variable Wake;  // a job arrived, or stop
    bool Failed = false;
    std::atomic<pid_t> Tid{0};
  };

  void StageLoop(TStage &AStage, const std::function<void()> &AOnStart);
  static void RunJob(const TQueued &AJob, bool &AFailed);
  TStage *StageOf(const void *AKey);

  TWriter FWriter;
  mutable std::mutex FLock;
  std::condition_variable FProgress;  // a job finished, or a queue has room
  std::deque<std::unique_ptr<TTicket>> FTickets;
  std::vector<std::unique_ptr<TStage>> FStages;
  bool FStopping = false;
};

}  // namespace engine
