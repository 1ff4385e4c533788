#include "Pipeline.h"

#include <unistd.h>

#include "Errors.h"

namespace engine {

namespace {

// Jobs waiting per stage: enough to keep a stage busy while the run's thread
// reads ahead, few enough that little compressed data waits in memory.
constexpr std::size_t kStageQueue = 32;

thread_local TTicket *CurrentTicket = nullptr;

}  // namespace

TTicket::~TTicket()
{
  for (auto &entry : Packets) AVCodecLib.av_packet_free(&entry.second);
}

void TTicket::Add(void *ASink, const AVPacket &APkt)
{
  AVPacket *copy = AVCodecLib.av_packet_alloc();
  if (!copy || AVCodecLib.av_packet_ref(copy, &APkt) < 0) {
    AVCodecLib.av_packet_free(&copy);
    throw FFMpegException("av_mallocz fail");
  }
  Packets.emplace_back(ASink, copy);
}

TRunPipeline::TRunPipeline(TWriter AWriter) : FWriter(std::move(AWriter)) {}

TRunPipeline::~TRunPipeline()
{
  {
    std::lock_guard<std::mutex> lock(FLock);
    FStopping = true;
    for (auto &stage : FStages) stage->Wake.notify_all();
  }
  for (auto &stage : FStages)
    if (stage->Thread.joinable()) stage->Thread.join();
}

TTicket *TRunPipeline::Current() { return CurrentTicket; }

bool TRunPipeline::OwnsThread(pid_t ATid) const
{
  std::lock_guard<std::mutex> lock(FLock);
  for (const auto &stage : FStages)
    if (stage->Tid.load() == ATid) return true;
  return false;
}

void TRunPipeline::AddStage(const void *AKey, std::function<void()> AOnStart)
{
  auto stage = std::make_unique<TStage>();
  stage->Key = AKey;
  TStage &ref = *stage;
  {
    std::lock_guard<std::mutex> lock(FLock);
    FStages.push_back(std::move(stage));
  }
  ref.Thread = std::thread([this, &ref, onStart = std::move(AOnStart)] { StageLoop(ref, onStart); });
}

TRunPipeline::TStage *TRunPipeline::StageOf(const void *AKey)
{
  for (auto &stage : FStages)
    if (stage->Key == AKey) return stage.get();
  return nullptr;
}

void TRunPipeline::RunJob(const TQueued &AJob, bool &AFailed)
{
  CurrentTicket = AJob.Ticket;
  try {
    AJob.Ticket->Result = AJob.Job();
  } catch (...) {
    AJob.Ticket->Error = std::current_exception();
    AFailed = true;
  }
  CurrentTicket = nullptr;
  if (AJob.After) AJob.After(*AJob.Ticket);
}

void TRunPipeline::StageLoop(TStage &AStage, const std::function<void()> &AOnStart)
{
  AStage.Tid = gettid();
  if (AOnStart) AOnStart();
  std::unique_lock<std::mutex> lock(FLock);
  for (;;) {
    AStage.Wake.wait(lock, [&] { return FStopping || !AStage.Jobs.empty(); });
    if (FStopping) return;
    TQueued job = std::move(AStage.Jobs.front());
    AStage.Jobs.pop_front();
    // The run's thread is the only waiter, and waits only on a full queue
    // or on the front ticket: a wake-up for anything else is wasted.
    if (AStage.Jobs.size() == kStageQueue - 1) FProgress.notify_all();
    const bool skip = AStage.Failed;
    lock.unlock();
    bool failed = false;
    if (!skip) RunJob(job, failed);
    lock.lock();
    if (failed) AStage.Failed = true;
    job.Ticket->Done = true;
    if (!FTickets.empty() && FTickets.front().get() == job.Ticket) FProgress.notify_all();
  }
}

void TRunPipeline::Submit(const void *AKey, TJob AJob, TAfter AAfter)
{
  auto ticket = std::make_unique<TTicket>();
  ticket->Key = AKey;
  TTicket *raw = ticket.get();
  std::unique_lock<std::mutex> lock(FLock);
  TStage *stage = StageOf(AKey);
  FTickets.push_back(std::move(ticket));
  if (!stage) {
    lock.unlock();
    bool failed = false;
    RunJob(TQueued{std::move(AJob), std::move(AAfter), raw}, failed);
    lock.lock();
    raw->Done = true;
    return;
  }
  FProgress.wait(lock, [&] { return stage->Jobs.size() < kStageQueue; });
  stage->Jobs.push_back(TQueued{std::move(AJob), std::move(AAfter), raw});
  if (stage->Jobs.size() == 1) stage->Wake.notify_one();  // it waits only when idle
}

void TRunPipeline::RunNow(const void *AKey, const TJob &AJob, const TAfter &AAfter)
{
  auto ticket = std::make_unique<TTicket>();
  ticket->Key = AKey;
  TTicket *raw = ticket.get();
  {
    std::lock_guard<std::mutex> lock(FLock);
    FTickets.push_back(std::move(ticket));
  }
  bool failed = false;
  RunJob(TQueued{AJob, AAfter, raw}, failed);
  std::lock_guard<std::mutex> lock(FLock);
  raw->Done = true;
}

void TRunPipeline::Write(std::size_t AKeepAtMost)
{
  for (;;) {
    std::unique_ptr<TTicket> ticket;
    {
      std::unique_lock<std::mutex> lock(FLock);
      if (FTickets.empty()) return;
      if (!FTickets.front()->Done) {
        if (FTickets.size() <= AKeepAtMost) return;
        FProgress.wait(lock, [&] { return FTickets.front()->Done; });
      }
      ticket = std::move(FTickets.front());
      FTickets.pop_front();
    }
    FWriter(*ticket);
  }
}

}  // namespace engine
