// Test fixture maker for qx-orb's tests: rewrites 16-bit audio, sample for
// sample (lossless formats), in the format its output name ends with (.wav,
// .flac, .ogg, .aiff, .au, .caf, .w64), so the tests need no encoder.
//
//   cli_audio_tool IN OUT
#include <sndfile.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int format_for(const std::string &name) {
  const std::string extension = name.substr(name.find_last_of('.') + 1);
  if (extension == "wav") return SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  if (extension == "flac") return SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
  if (extension == "ogg") return SF_FORMAT_OGG | SF_FORMAT_VORBIS;
  if (extension == "aiff") return SF_FORMAT_AIFF | SF_FORMAT_PCM_16;
  if (extension == "au") return SF_FORMAT_AU | SF_FORMAT_PCM_16;
  if (extension == "caf") return SF_FORMAT_CAF | SF_FORMAT_PCM_16;
  if (extension == "w64") return SF_FORMAT_W64 | SF_FORMAT_PCM_16;
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: cli_audio_tool IN OUT\n");
    return 2;
  }
  SF_INFO in_info{};
  SNDFILE *in = sf_open(argv[1], SFM_READ, &in_info);
  if (!in) {
    std::fprintf(stderr, "cli_audio_tool: %s: %s\n", argv[1], sf_strerror(nullptr));
    return 1;
  }
  SF_INFO out_info{};
  out_info.samplerate = in_info.samplerate;
  out_info.channels = in_info.channels;
  out_info.format = format_for(argv[2]);
  SNDFILE *out = out_info.format ? sf_open(argv[2], SFM_WRITE, &out_info) : nullptr;
  if (!out) {
    std::fprintf(stderr, "cli_audio_tool: %s: %s\n", argv[2],
                 out_info.format ? sf_strerror(nullptr) : "unknown extension");
    sf_close(in);
    return 1;
  }
  std::vector<short> block(4096 * static_cast<size_t>(in_info.channels));
  int status = 0;
  for (sf_count_t got; (got = sf_readf_short(in, block.data(), 4096)) > 0;) {
    if (sf_writef_short(out, block.data(), got) != got) {
      std::fprintf(stderr, "cli_audio_tool: writing %s: %s\n", argv[2], sf_strerror(out));
      status = 1;
      break;
    }
  }
  sf_close(in);
  sf_close(out);
  return status;
}
