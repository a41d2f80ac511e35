#include "audio_input.h"

#include <sndfile.h>
#include <soxr.h>

#include <cmath>

bool read_audio_mono(const std::string &path, int rate, std::vector<int16_t> *samples,
                     std::string *error) {
  SF_INFO info{};
  SNDFILE *file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) {
    *error = "cannot read " + path + ": " + sf_strerror(nullptr);
    return false;
  }
  std::vector<float> interleaved(static_cast<size_t>(info.frames) * info.channels);
  const sf_count_t read = sf_readf_float(file, interleaved.data(), info.frames);
  sf_close(file);

  std::vector<float> mono(static_cast<size_t>(read));
  for (sf_count_t i = 0; i < read; ++i) {
    float sum = 0.0f;
    for (int c = 0; c < info.channels; ++c) sum += interleaved[i * info.channels + c];
    mono[i] = sum / static_cast<float>(info.channels);
  }

  std::vector<float> resampled;
  if (info.samplerate == rate) {
    resampled.swap(mono);
  } else {
    const double ratio = static_cast<double>(rate) / info.samplerate;
    resampled.resize(static_cast<size_t>(std::ceil(mono.size() * ratio)) + 16);
    size_t produced = 0;
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    const soxr_error_t failure =
        soxr_oneshot(info.samplerate, rate, 1, mono.data(), mono.size(), nullptr,
                     resampled.data(), resampled.size(), &produced, nullptr, &quality, nullptr);
    if (failure) {
      *error = std::string("resampling failed: ") + failure;
      return false;
    }
    resampled.resize(produced);
  }

  samples->resize(resampled.size());
  for (size_t i = 0; i < resampled.size(); ++i) {
    const float scaled = std::round(resampled[i] * 32768.0f);
    (*samples)[i] = static_cast<int16_t>(scaled > 32767.0f ? 32767.0f
                                         : scaled < -32768.0f ? -32768.0f
                                                              : scaled);
  }
  return true;
}
