// The engine's fixed table sizes and its unknown timestamp, shared by the
// engine object, its configuration and its run.
#pragma once

#include <cstdint>

constexpr int MaxFiles = 20;
constexpr int MaxStreams = 20;
constexpr int MaxStreamMaps = 20;
constexpr int MaxMetaDataMaps = 20;
constexpr int64_t NoPts = INT64_MIN;  // the library's unknown timestamp
