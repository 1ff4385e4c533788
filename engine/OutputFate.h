// The life of an output file, decided here and nowhere else:
//   created    OpenOutputFile opens it for writing (OpenForWriting), noting
//              whether the file is new and which file it is;
//   withdrawn  its set-up failed: closed, and removed when we created it and
//              it is still empty;
//   unwritten  a run wrote no packet (nothing read, or stopped before the
//              first): a header alone looks like a result, so it is removed;
//   written    a run wrote packets, finished or stopped: its trailer goes in
//              (a stopped run's file plays too), then its name must still
//              name the file we opened, or the run fails;
//   released   the job is released, after any of the above or a failure:
//              closed, and removed when it is still empty.
//
// This is the engine's part of an output's fate: what becomes of the file it
// writes while the job lives. Whether that file becomes the user's output
// (published, kept, or removed after a stop, a failure or a failed
// verification) is decided above, by the component's TTaskOutput
// (component/TaskOutput.h); for a published output the file here is its
// temporary.
//
// Ownership: acts on the output contexts it is given; frees none of them.
// Threads: whichever thread owns the job (configuration or the run's).
// Failure: OpenForWriting returns false; Written throws FFMpegException with
// the texts people see; the other ends never throw.
#pragma once

#include <cstdint>
#include <string>

#include "AVPtr.h"

namespace engine {

// What the job knows of one output file.
struct TOutputFileFacts {
  bool Created = false;        // no file had that name before we opened it
  bool HeaderWritten = false;  // the run wrote the muxer's header
  // The file opened for writing, by device and inode; not Identified for
  // outputs that are no local file (pipes, protocols, muxers doing their own I/O).
  bool Identified = false;
  uint64_t Device = 0, Inode = 0;
};

enum class TOutputEnd { Withdrawn, Unwritten, Written, Released };

// Opens AName for writing into AOc and fills AFacts; false when it cannot be opened.
bool OpenForWriting(AVFormatContext *AOc, const std::string &AName, TOutputFileFacts &AFacts);

// Ends ACount output files as AEnd calls for. Written writes every trailer
// first, then checks every file, so one vanished file does not leave the
// others without their trailers.
void EndOutputFiles(AVFormatContext *const *AOcs, const TOutputFileFacts *AFacts, int ACount, TOutputEnd AEnd);

}  // namespace engine
