#include "FFmpeg.h"

void TCustomFFmpeg::CloseOpenCodecs() {}
void TCustomFFmpeg::FreeRunTables()
{
  FileTable.clear();
  OutputStreams.clear();
  InputStreams.clear();
}
