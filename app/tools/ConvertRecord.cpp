// Conversion records from a preset (see ConvertRecord.h).
#include "ConvertRecord.h"

TInputOptions ConvertInputRecord(const std::string &AFileName) {
  TInputOptions rec;
  ResetInputOptions(rec);
  rec.FileName = AFileName;
  return rec;
}

TOutputOptions ConvertOutputRecord(const TFormat *APreset) {
  TOutputOptions rec;
  ResetOutputOptions(rec);
  rec.VideoCodecName = "mpeg4";
  rec.AudioCodecName = "libfaac";
  rec.FrameRate = "15";  // every preset converts at 15 fps; its frame_rate is not used
  if (APreset) {
    rec.VideoBitrate = APreset->VideoBitrate;
    rec.AudioSampleRate = APreset->AudioFrequency;
    rec.AudioChannels = APreset->AudioChannels;
    rec.AudioBitrate = APreset->AudioBitrate;
    rec.FrameSize = std::to_string(APreset->FrameWidth) + "x" + std::to_string(APreset->FrameHeight);
  }
  return rec;
}
