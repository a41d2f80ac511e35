// Audio files of any format libsndfile reads, as 16 kHz mono int16.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Reads `path`, averages its channels and resamples to `rate`. On failure
// returns false with a reason in `error`.
bool read_audio_mono(const std::string &path, int rate, std::vector<int16_t> *samples,
                     std::string *error);
