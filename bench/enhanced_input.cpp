// Makes an enhanced-FLV input for bench/speed_bench.py with the test
// support's writer: one video track of ENCODER (libx265, libaom-av1,
// libvpx-vp9, ...) at SIZE and AAC sound, SECONDS long, as DIR/NAME.flv laid
// out from DIR/NAME.mkv (which the ffmpeg command reads, as it cannot read
// such FLV files).
// Usage: bench_enhanced_input DIR NAME ENCODER SIZE SECONDS
// Prints the FLV's path and the Matroska file's, one a line; exit 1 on failure.
#include <cstdio>
#include <exception>
#include <string>

#include "EnhancedFlv.h"
#include "LibLoader.h"
#include "TestEnv.h"

int main(int argc, char **argv)
{
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s DIR NAME ENCODER SIZE SECONDS\n", argv[0]);
    return 1;
  }
  qvtest::LoadLibs();
  if (!AVLibsLoaded()) return 1;
  qvtest::TEnhancedRecipe recipe;
  recipe.Name = argv[2];
  recipe.Video = {argv[3]};
  recipe.Audio = {"aac"};
  recipe.Size = argv[4];
  try {
    recipe.Seconds = std::stod(argv[5]);
    const qvtest::TEnhancedFlv made = qvtest::MakeEnhancedFlv(argv[1], recipe);
    std::printf("%s\n%s\n", made.Path.c_str(), made.Source.c_str());
  } catch (const std::exception &e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
