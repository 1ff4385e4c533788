// The working state of one run: the tables of its files' and streams'
// records, its pipeline, its drop predictors and its clocks. The engine
// holds one; TranscodeSetup fills it, the end of the run empties it.
//
// Ownership: owns the stream records (and through them each output path's
// resources) and the pipeline with its stage threads.
// Threads: the run's thread builds and empties it; while the pipeline runs,
// each record belongs to the job of its stream (see Streams.h). The pipeline
// pointer is also read from other threads, under the engine's pipeline lock.
// Failure: plain data; nothing here throws.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "DropPredictor.h"
#include "PicturePrep.h"
#include "Pipeline.h"
#include "Streams.h"

namespace engine {

struct TRunState {
  std::vector<TInputFileInfo> FileTable;
  std::vector<std::unique_ptr<TInputStream>> InputStreams;
  std::vector<std::unique_ptr<TOutputStream>> OutputStreams;
  std::unique_ptr<TRunPipeline> Pipeline;  // from the end of the set-up until everything is written
  // Per input stream, the predictor of pictures to drop undecoded (or null); run's thread only.
  std::vector<std::unique_ptr<TDropPredictor>> Predictors;
  // The decoded pictures' pre-processing, made with the first video path
  // (null when nothing is re-encoded as video); used by the video job.
  std::unique_ptr<TPicturePrep> PicturePrep;
  int64_t TimerStart = 0;      // µs, wall clock when the packet loop started
  int64_t LastReportTime = 0;  // µs, wall clock of the last progress report
};

}  // namespace engine
