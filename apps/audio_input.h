// Audio of any format libsndfile reads, from a file or standard input, as
// 16 kHz mono int16 in bounded blocks: memory stays constant however long
// the input is, and nothing is sized from what a header claims.
#pragma once

#include <sndfile.h>
#include <soxr.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class AudioDecoder {
 public:
  // Receives each decoded block; returning false stops decoding.
  using Sink = std::function<bool(const int16_t *samples, size_t count)>;

  AudioDecoder();
  ~AudioDecoder();
  AudioDecoder(const AudioDecoder &) = delete;
  AudioDecoder &operator=(const AudioDecoder &) = delete;

  // Opens `path` ("-": standard input) and reads its header. False with a
  // reason in error() when it cannot be read as audio.
  bool open(const std::string &path, int rate);

  // Decodes to the end, handing 16 kHz mono blocks to `sink`. False when
  // reading failed or the sink stopped; the blocks handed over stay valid
  // results. After a true return, warnings() may still name damage.
  bool decode(const Sink &sink);

  const std::string &error() const { return error_; }
  // Truncation, damage, or samples that were not finite numbers.
  const std::vector<std::string> &warnings() const { return warnings_; }
  // The input ended before its header said, or reading it failed midway.
  bool incomplete() const { return incomplete_; }

  // Seconds the header promises, or a negative number when it does not say.
  double declared_seconds() const;
  // Seconds of input decoded so far (at the input's own rate).
  double decoded_seconds() const;
  // "WAV (Microsoft), 16 bit PCM, 44100 Hz, 2 channels".
  std::string description() const;

 private:
  struct Source;
  bool fail(const std::string &message);
  bool resample_and_emit(const float *mono, size_t count, const Sink &sink);
  bool emit(const float *samples, size_t count, const Sink &sink);
  void check_length();

  std::unique_ptr<Source> source_;
  SNDFILE *file_ = nullptr;
  SF_INFO info_{};
  soxr_t resampler_ = nullptr;
  int rate_ = 0;
  int64_t frames_read_ = 0;
  int64_t non_finite_ = 0;
  bool incomplete_ = false;
  std::vector<float> interleaved_, mono_, resampled_;
  std::vector<int16_t> pcm_;
  std::string path_, error_;
  std::vector<std::string> warnings_;
};

// Reads all of `path` at once, averaging channels and resampling to `rate`.
// For callers that want a whole buffer (the fuzz target); the program streams.
// On failure returns false with a reason in `error`.
bool read_audio_mono(const std::string &path, int rate, std::vector<int16_t> *samples,
                     std::string *error);
