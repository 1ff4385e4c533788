// The pipeline on its own: tickets reach the writer in submission order
// whichever thread ran their jobs, a failed job's error reaches the writer
// at its ticket and stops its stage, and only stage threads are its own.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Pipeline.h"

namespace {

using engine::TRunPipeline;
using engine::TTicket;

struct TJobCase {
  const char *Name;
  int Key;      // 0: submitted to the stage, 1: run now, 2: submitted for a key without a stage
  bool Throws;  // the job fails
};

TEST(PipelineStagesTest, WriterSeesTicketsInOrderAndFailuresAtTheirTicket)
{
  // Slow stage jobs interleaved with immediate ones: without tickets the
  // immediate ones would be written first.
  const std::vector<TJobCase> cases = {
      {"stage", 0, false},      {"now", 1, false},       {"stage", 0, false},
      {"no stage", 2, false},   {"stage fails", 0, true}, {"now after", 1, false},
      {"stage after failure", 0, false},
  };
  const int keys[3] = {0, 1, 2};
  std::vector<int> written;
  int tickets = 0;
  std::vector<std::string> errors;
  std::atomic<int> ran{0};
  std::atomic<pid_t> stageTid{0};
  TRunPipeline pipeline([&](TTicket &ATicket) {
    ++tickets;
    if (ATicket.Settle) ATicket.Settle();
    if (ATicket.Error) try {
        std::rethrow_exception(ATicket.Error);
      } catch (const std::exception &e) {
        errors.push_back(e.what());
      }
  });
  pipeline.AddStage(&keys[0], [&] { stageTid = gettid(); });
  for (int i = 0; i < static_cast<int>(cases.size()); ++i) {
    const TJobCase &c = cases[i];
    auto job = [&, c] {
      if (c.Key == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      ++ran;
      if (c.Throws) throw std::runtime_error(c.Name);
      return 0;
    };
    auto after = [&written, i](TTicket &ATicket) { ATicket.Settle = [&written, i] { written.push_back(i); }; };
    if (c.Key == 1)
      pipeline.RunNow(&keys[1], job, after);
    else
      pipeline.Submit(&keys[c.Key], job, after);
  }
  pipeline.Write(0);

  // The job skipped after its stage failed leaves a ticket with nothing to settle.
  EXPECT_EQ(tickets, 7);
  EXPECT_EQ(written, (std::vector<int>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(errors, (std::vector<std::string>{"stage fails"}));
  EXPECT_EQ(ran.load(), 6);  // the stage runs nothing after its failure
  EXPECT_TRUE(pipeline.OwnsThread(stageTid.load()));
  EXPECT_FALSE(pipeline.OwnsThread(gettid()));
}

}  // namespace
