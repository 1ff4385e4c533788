// The run's pipeline: the work of a conversion split into jobs that may run
// on stage threads, with every packet written in the order one thread would
// write it.
//
// The run's thread reads packets, corrects their timestamps and hands each
// to a job: a stream copy runs at once on the run's thread; decoding, the
// audio or video output path and encoding run on the stage of their input
// stream. A stage is a thread of its own when the job allows it (see
// TCustomFFmpeg::UseStageThreads); otherwise its jobs run at once, on the
// run's thread. Each job gets a ticket in submission order; the packets it
// writes and the counters of the output streams it feeds wait in the
// ticket, and the writer (on the run's thread) writes tickets strictly in
// that order. So the muxer sees the same calls in the same order whatever
// the number of threads, and the output is the same byte for byte.
//
// Ownership: the pipeline owns its stage threads, their queued jobs (with
// their packet references) and the tickets. Destruction asks the stages to
// stop, lets each finish the job it is running and joins them; jobs not yet
// run are dropped with their tickets.
// Threads: every method is called on the run's thread. A stage thread runs
// its jobs one at a time, in order, and touches only its input stream, the
// output streams that stream feeds, and the job's ticket.
// Failure: an exception thrown by a job is kept in its ticket and raised by
// the writer when it reaches that ticket; a stage whose job failed runs no
// further job. Stage threads never wait for the run's thread, so a full
// queue (which the run's thread waits on) always drains.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "FFmpeg.h"

namespace engine {

// What one job leaves for the writer.
struct TTicket {
  TTicket() = default;
  TTicket(const TTicket &) = delete;
  TTicket &operator=(const TTicket &) = delete;
  ~TTicket();
  void Add(TOutputStream &AOst, const AVPacket &APkt);  // takes a reference to the packet's data

  std::vector<std::pair<TOutputStream *, AVPacket *>> Packets;  // owned
  std::vector<std::pair<TOutputStream *, TOstStats>> Stats;     // counters after the job
  TInputStream *Ist = nullptr;
  int Result = 0;  // the job's result: -1 when a decoder failed
  std::exception_ptr Error;
  bool Done = false;  // under the pipeline's lock
};

class TRunPipeline {
 public:
  using TJob = std::function<int()>;

  explicit TRunPipeline(TCustomFFmpeg &AEngine);
  ~TRunPipeline();
  TRunPipeline(const TRunPipeline &) = delete;
  TRunPipeline &operator=(const TRunPipeline &) = delete;

  // Gives AIst's jobs a thread of their own from now on.
  void AddStage(TInputStream &AIst, TConvertPriority APriority);
  // Runs AJob for AIst (on its stage, or at once); the counters of AFeeds are
  // kept with its packets. Waits while the stage's queue is full.
  void Submit(TInputStream &AIst, const std::vector<TOutputStream *> &AFeeds, TJob AJob);
  // Runs AJob at once on the run's thread, in order with the jobs before it.
  void RunNow(TInputStream &AIst, const std::vector<TOutputStream *> &AFeeds, const TJob &AJob);
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
    std::vector<TOutputStream *> Feeds;
    TTicket *Ticket;
  };
  struct TStage {
    TInputStream *Ist = nullptr;
    std::thread Thread;
    std::deque<TQueued> Jobs;
    std::condition_variable Wake;  // a job arrived, or stop
    bool Failed = false;
    std::atomic<pid_t> Tid{0};
  };

  void StageLoop(TStage &AStage, TConvertPriority APriority);
  static void RunJob(const TQueued &AJob, bool &AFailed);
  TStage *StageOf(const TInputStream &AIst);

  TCustomFFmpeg &FEngine;
  mutable std::mutex FLock;
  std::condition_variable FProgress;  // a job finished, or a queue has room
  std::deque<std::unique_ptr<TTicket>> FTickets;
  std::vector<std::unique_ptr<TStage>> FStages;
  bool FStopping = false;
};

}  // namespace engine
