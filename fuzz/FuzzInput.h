// Helpers shared by the harnesses: cutting one fuzzer input into fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qvfuzz {

// The input cut at every ASeparator into at most AMaxFields fields; the last
// field keeps the rest, separators included.
inline std::vector<std::string> SplitFields(const uint8_t *AData, size_t ASize, char ASeparator, size_t AMaxFields)
{
  std::vector<std::string> fields;
  const char *p = reinterpret_cast<const char *>(AData);
  const char *end = p + ASize;
  while (fields.size() + 1 < AMaxFields) {
    const char *sep = p;
    while (sep < end && *sep != ASeparator) ++sep;
    if (sep == end) break;
    fields.emplace_back(p, sep);
    p = sep + 1;
  }
  fields.emplace_back(p, end);
  return fields;
}

}  // namespace qvfuzz
