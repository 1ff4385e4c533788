// The task, the task list and the per-thread log line store.
#include "Task.h"

#include <stdexcept>

#include "FFmpegThread.h"

TFFmpeg::TFFmpeg()
{
  ResetInputOptions(InputOptions);
  ResetOutputOptions(OutputOptions);
}

TFFmpeg::~TFFmpeg()
{
  Detached = true;
  Stop();
  WaitForThread();
  // The engine lets go of its files before an unpublished temporary goes.
  ReleaseJob();
  TaskOutputs.clear();
}

namespace {

// The first output that is published (rather than written under its name).
const TTaskOutput *FirstStaged(const TTaskOutputs &AOutputs)
{
  for (const auto &output : AOutputs)
    if (output->Staged()) return output.get();
  return nullptr;
}

}  // namespace

std::string TFFmpeg::PublishedName() const
{
  const TTaskOutput *output = FirstStaged(TaskOutputs);
  return output ? output->Published : std::string();
}

bool TFFmpeg::FinalNameTaken() const
{
  const TTaskOutput *output = FirstStaged(TaskOutputs);
  return output && output->FinalTaken;
}

bool TFFmpeg::RunsOnThread(uint32_t ATid) const
{
  if (ATid == 0) return false;
  if (ThreadId.load() == ATid) return true;
  // Between Resume and the component storing ThreadId the worker may
  // already log; its thread object knows the id first. The object lives as
  // long as the engine, which outlives every list lookup of it.
  if (TFFmpegThread *t = Thread.load(); t && static_cast<uint32_t>(t->ThreadId()) == ATid) return true;
  // The run's stage threads (audio and video paths) speak for the task too.
  return OwnsThread(static_cast<pid_t>(ATid));
}

TFFmpegList::~TFFmpegList() { Clear(); }

TFFmpeg *TFFmpegList::ItemOrNull(int AIndex) const
{
  std::lock_guard<std::recursive_mutex> lock(FLock);
  if (AIndex < 0 || AIndex >= static_cast<int>(FItems.size())) return nullptr;
  return FItems[AIndex].get();
}

TFFmpeg &TFFmpegList::Items(int AIndex) const
{
  TFFmpeg *task = ItemOrNull(AIndex);
  if (!task) throw std::out_of_range("List index out of bounds (" + std::to_string(AIndex) + ")");
  return *task;
}

int TFFmpegList::Count() const
{
  std::lock_guard<std::recursive_mutex> lock(FLock);
  return static_cast<int>(FItems.size());
}

int TFFmpegList::Add(std::unique_ptr<TFFmpeg> ATask)
{
  std::lock_guard<std::recursive_mutex> lock(FLock);
  int index = static_cast<int>(FItems.size());
  ATask->Index = index;
  ATask->Detached = false;
  FItems.push_back(std::move(ATask));
  return index;
}

std::unique_ptr<TFFmpeg> TFFmpegList::Extract(int AIndex)
{
  std::lock_guard<std::recursive_mutex> lock(FLock);
  if (AIndex < 0 || AIndex >= static_cast<int>(FItems.size()))
    throw std::out_of_range("List index out of bounds (" + std::to_string(AIndex) + ")");
  std::unique_ptr<TFFmpeg> task = std::move(FItems[AIndex]);
  FItems.erase(FItems.begin() + AIndex);
  for (size_t i = AIndex; i < FItems.size(); ++i) FItems[i]->Index = static_cast<int32_t>(i);
  task->Index = -1;
  task->Detached = true;
  return task;
}

std::vector<std::unique_ptr<TFFmpeg>> TFFmpegList::ExtractAll()
{
  std::lock_guard<std::recursive_mutex> lock(FLock);
  std::vector<std::unique_ptr<TFFmpeg>> all = std::move(FItems);
  FItems.clear();
  for (auto &task : all) {
    task->Index = -1;
    task->Detached = true;
  }
  return all;
}

void TFFmpegList::Delete(int AIndex)
{
  // Destroyed outside the lock: destruction waits for the task's thread,
  // which may be looking tasks up.
  std::unique_ptr<TFFmpeg> task = Extract(AIndex);
  task.reset();
}

void TFFmpegList::Clear()
{
  auto all = ExtractAll();
  all.clear();
}

TFFmpeg *TFFmpegList::FindByThreadId(uint32_t ATid) const
{
  std::lock_guard<std::recursive_mutex> lock(FLock);
  for (const auto &task : FItems)
    if (task->RunsOnThread(ATid)) return task.get();
  return nullptr;
}

std::vector<TFFmpeg *> TFFmpegList::Snapshot() const
{
  std::lock_guard<std::recursive_mutex> lock(FLock);
  std::vector<TFFmpeg *> tasks;
  for (const auto &task : FItems) tasks.push_back(task.get());
  return tasks;
}

TLogItem &TLogList::FindOrAdd(uint32_t AId)
{
  if (FHead.ThreadId == 0 || FHead.ThreadId == AId) {
    FHead.ThreadId = AId;
    return FHead;
  }
  for (auto &item : FChain)
    if (item->ThreadId == AId) return *item;
  auto item = std::make_unique<TLogItem>();
  item->ThreadId = AId;
  FChain.insert(FChain.begin(), std::move(item));
  return *FChain.front();
}

void TLogList::Clear()
{
  FHead = TLogItem{};
  FChain.clear();
}

size_t TLogList::ItemCount() const { return FChain.size() + (FHead.ThreadId != 0 ? 1 : 0); }
