// The demo's audio decoding (apps/audio_input.cc, unchanged) on fuzzed files:
// the input is the whole file, held in memory by a memfd whose /proc path
// read_audio_mono opens like any other. libsndfile and libsoxr are not
// instrumented, so coverage guides only through audio_input.cc; the
// sanitizers still see every buffer the decoder hands back.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "audio_input.h"
#include "fuzz_support.h"

// Leaks inside the codec libraries on malformed streams are theirs (the
// decoder closes every file it opened); libsndfile's own stay reported.
extern "C" const char *__lsan_default_suppressions() {
  return "leak:libvorbis.so\n"
         "leak:libvorbisenc.so\n"
         "leak:libogg.so\n"
         "leak:libFLAC.so\n"
         "leak:libopus.so\n"
         "leak:libmpg123.so\n"
         "leak:libmp3lame.so\n";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static qx_fuzz::ScratchFile file(true);
  const std::string &path = file.write(data, size);
  std::vector<int16_t> samples;
  std::string error;
  if (!read_audio_mono(path, 16000, &samples, &error) && error.empty()) {
    qx_fuzz::fail("a failed decode gave no reason");
  }
  return 0;
}
