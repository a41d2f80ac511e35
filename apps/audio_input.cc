#include "audio_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

// Interleaved input samples per read, whatever the channel count.
constexpr size_t kBlockSamples = 1 << 16;
// Resampler output per call.
constexpr size_t kResampledBlock = 1 << 14;
// A pipe's first bytes stay readable so a header reader may seek back.
constexpr int64_t kHeadBytes = 1 << 20;
// The furthest a reader may skip forward in a pipe (chunks before the audio).
constexpr int64_t kMaxSkipBytes = 64 << 20;
// Sample rates outside this range are damage, not audio.
constexpr int kMinRate = 1000;
constexpr int kMaxRate = 1000000;
// More frames than this are no promise but a length derived from the
// unknown size of a pipe (17 years at 1 MHz).
constexpr sf_count_t kImplausibleFrames = sf_count_t{1} << 49;
// A streaming writer leaves these in the size fields of RIFF-like headers.
constexpr unsigned long long kUnknownSizeMarks[] = {0ull, 0xFFFFFFFFull};

std::string format_seconds(double seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f s", seconds);
  return text;
}

// read() until `count` bytes or the end; -1 on an error.
ssize_t read_fully(int fd, unsigned char *out, size_t count) {
  size_t total = 0;
  while (total < count) {
    const ssize_t got = ::read(fd, out + total, count - total);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    total += static_cast<size_t>(got);
  }
  return static_cast<ssize_t>(total);
}

// The size a RIFF-like header declares for its audio chunk, and the size
// libsndfile found room for, both read from its log ("data : 96000 (should
// be 47978)"). Returns false when the log names no audio chunk.
bool audio_chunk_sizes(const char *log, unsigned long long *declared, unsigned long long *room,
                       bool *short_of_room) {
  *short_of_room = false;
  for (const char *line = log; line && *line;) {
    const char *end = std::strchr(line, '\n');
    const std::string text(line, end ? static_cast<size_t>(end - line) : std::strlen(line));
    line = end ? end + 1 : nullptr;
    unsigned long long size = 0, should = 0;
    if (std::sscanf(text.c_str(), "data : %llu (should be %llu)", &size, &should) == 2 ||
        std::sscanf(text.c_str(), "SSND : %llu (should be %llu)", &size, &should) == 2) {
      *declared = size;
      *room = should;
      *short_of_room = should < size;
      return true;
    }
    if (std::sscanf(text.c_str(), "data : %llu", &size) == 1 ||
        std::sscanf(text.c_str(), "SSND : %llu", &size) == 1) {
      *declared = size;
      *room = size;
      return true;
    }
  }
  return false;
}

// What libsndfile's log says of the open file's audio chunk (see
// audio_chunk_sizes); `streamed` when the header was written while streaming
// and so promises no length.
struct ChunkSizes {
  unsigned long long declared = 0, room = 0;
  bool short_of_room = false;
  bool streamed = false;
};
bool logged_chunk_sizes(SNDFILE *file, ChunkSizes *chunk) {
  char log[4096] = {};
  sf_command(file, SFC_GET_LOG_INFO, log, sizeof log);
  if (!audio_chunk_sizes(log, &chunk->declared, &chunk->room, &chunk->short_of_room)) return false;
  chunk->streamed = std::find(std::begin(kUnknownSizeMarks), std::end(kUnknownSizeMarks),
                              chunk->declared) != std::end(kUnknownSizeMarks);
  return true;
}

}  // namespace

// libsndfile's virtual I/O over a file descriptor. A regular file is read
// with pread at any offset; a pipe can only go forward, so its first bytes
// are kept for the backward seeks header readers make, and a seek it cannot
// serve fails (recorded, so the message can say the format needs seeking).
struct AudioDecoder::Source {
  int fd = -1;
  bool owned = false;
  bool seekable = false;
  int64_t base = 0;    // seekable: offset of the stream's first byte
  int64_t length = 0;  // seekable: bytes from base to the end
  int64_t position = 0;
  // Pipes only: the first bytes read, and how many were read in all.
  std::vector<unsigned char> head;
  int64_t consumed = 0;
  bool refused_seek = false;
  int read_errno = 0;

  ~Source() {
    if (owned && fd >= 0) ::close(fd);
  }

  bool all_retained() const { return static_cast<int64_t>(head.size()) == consumed; }

  sf_count_t read(unsigned char *out, sf_count_t count) {
    if (count <= 0) return 0;
    if (seekable) {
      sf_count_t total = 0;
      while (total < count && position < length) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(count - total, length - position));
        const ssize_t got = ::pread(fd, out + total, want, base + position);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) read_errno = errno;
        if (got <= 0) break;
        total += got;
        position += got;
      }
      return total;
    }
    sf_count_t total = 0;
    if (position < consumed) {  // inside the kept head (all_retained holds)
      const int64_t n = std::min<int64_t>(count, consumed - position);
      std::memcpy(out, head.data() + position, static_cast<size_t>(n));
      position += n;
      total += n;
    }
    if (total < count) {
      const ssize_t got = read_fully(fd, out + total, static_cast<size_t>(count - total));
      if (got < 0) {
        read_errno = errno;
        return total;
      }
      if (all_retained() && consumed < kHeadBytes) {
        const int64_t keep = std::min<int64_t>(got, kHeadBytes - consumed);
        head.insert(head.end(), out + total, out + total + keep);
      }
      consumed += got;
      position += got;
      total += got;
    }
    return total;
  }

  sf_count_t seek(sf_count_t offset, int whence) {
    int64_t target = 0;
    if (whence == SEEK_SET) {
      target = offset;
    } else if (whence == SEEK_CUR) {
      target = position + offset;
    } else if (seekable) {
      target = length + offset;
    } else {
      refused_seek = true;  // the end of a pipe is not known
      return -1;
    }
    if (target < 0) return -1;
    if (seekable) return position = target;
    if (target <= consumed) {
      if (target != consumed && !all_retained()) {
        refused_seek = true;
        return -1;
      }
      return position = target;
    }
    if (target - consumed > kMaxSkipBytes) {
      refused_seek = true;
      return -1;
    }
    position = consumed;
    unsigned char scratch[1 << 14];
    while (position < target) {
      const sf_count_t got = read(scratch, std::min<int64_t>(sizeof scratch, target - position));
      if (got <= 0) break;
    }
    return position;
  }

  static sf_count_t vio_length(void *self) {
    auto *source = static_cast<Source *>(self);
    // Unknown for a pipe: libsndfile takes the largest count, as for its own pipes.
    return source->seekable ? source->length : SF_COUNT_MAX;
  }
  static sf_count_t vio_seek(sf_count_t offset, int whence, void *self) {
    return static_cast<Source *>(self)->seek(offset, whence);
  }
  static sf_count_t vio_read(void *out, sf_count_t count, void *self) {
    return static_cast<Source *>(self)->read(static_cast<unsigned char *>(out), count);
  }
  static sf_count_t vio_write(const void *, sf_count_t, void *) { return 0; }
  static sf_count_t vio_tell(void *self) { return static_cast<Source *>(self)->position; }
};

AudioDecoder::AudioDecoder() = default;

AudioDecoder::~AudioDecoder() {
  if (resampler_) soxr_delete(resampler_);
  if (file_) sf_close(file_);
}

bool AudioDecoder::fail(const std::string &message) {
  error_ = message;
  return false;
}

bool AudioDecoder::open(const std::string &path, int rate) {
  path_ = path;
  rate_ = rate;
  source_ = std::make_unique<Source>();
  Source &source = *source_;
  const bool from_stdin = path == "-";
  const std::string name = from_stdin ? "standard input" : path;
  if (from_stdin) {
    if (isatty(STDIN_FILENO)) {
      return fail("standard input is a terminal, not audio: pipe a file into it "
                  "(e.g. ffmpeg -i IN -f wav - | ...) or name the file");
    }
    source.fd = STDIN_FILENO;
  } else {
    source.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (source.fd < 0) return fail("cannot open " + path + ": " + std::strerror(errno));
    source.owned = true;
  }
  struct stat status {};
  if (fstat(source.fd, &status) != 0) {
    return fail("cannot read " + name + ": " + std::strerror(errno));
  }
  if (S_ISDIR(status.st_mode)) return fail(name + " is a directory, not audio");
  if (S_ISREG(status.st_mode)) {
    source.seekable = true;
    source.base = from_stdin ? std::max<off_t>(0, lseek(source.fd, 0, SEEK_CUR)) : 0;
    source.length = std::max<int64_t>(0, status.st_size - source.base);
    if (source.length == 0) return fail(name + " is empty");
  }

  SF_VIRTUAL_IO io{&Source::vio_length, &Source::vio_seek, &Source::vio_read,
                   &Source::vio_write, &Source::vio_tell};
  file_ = sf_open_virtual(&io, SFM_READ, &info_, &source);
  if (!file_) {
    const std::string reason = sf_strerror(nullptr);
    if (source.read_errno) {
      return fail("cannot read " + name + ": " + std::strerror(source.read_errno));
    }
    if (!source.seekable && source.consumed == 0) return fail(name + " is empty");
    if (!source.seekable && source.refused_seek) {
      return fail("cannot read this format from a pipe (its reader needs to seek back): "
                  "save it to a file first, or send WAV instead (ffmpeg -i IN -f wav -)");
    }
    const std::string input = from_stdin ? "IN" : path;
    return fail("cannot read " + name + " as audio (" + reason +
                "): if it is audio in a format libsndfile does not know, convert it with: "
                "ffmpeg -i " + input + " -ar 16000 -ac 1 OUT.wav");
  }
  if (info_.channels < 1) return fail(name + ": the header names no channels");
  if (info_.samplerate < kMinRate || info_.samplerate > kMaxRate) {
    return fail(name + ": sample rate " + std::to_string(info_.samplerate) +
                " Hz is outside " + std::to_string(kMinRate) + " to " +
                std::to_string(kMaxRate) + " Hz; resample it with: ffmpeg -i " +
                (from_stdin ? std::string("IN") : path) + " -ar 16000 -ac 1 OUT.wav");
  }

  const size_t block_frames = std::max<size_t>(1, kBlockSamples / info_.channels);
  interleaved_.resize(block_frames * info_.channels);
  mono_.resize(block_frames);
  if (info_.samplerate != rate_) {
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io_spec = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    resampler_ = soxr_create(info_.samplerate, rate_, 1, &error, &io_spec, &quality, nullptr);
    if (!resampler_) return fail(std::string("cannot set up the resampler: ") + error);
    resampled_.resize(kResampledBlock);
  }
  pcm_.resize(std::max(block_frames, kResampledBlock));
  return true;
}

double AudioDecoder::declared_seconds() const {
  if (!file_ || info_.frames <= 0 || info_.frames >= kImplausibleFrames) return -1.0;
  ChunkSizes chunk;
  if (logged_chunk_sizes(file_, &chunk) && chunk.streamed) return -1.0;
  return static_cast<double>(info_.frames) / info_.samplerate;
}

double AudioDecoder::decoded_seconds() const {
  return info_.samplerate > 0 ? static_cast<double>(frames_read_) / info_.samplerate : 0.0;
}

std::string AudioDecoder::description() const {
  if (!file_) return "";
  auto name = [](int format) -> std::string {
    SF_FORMAT_INFO format_info{};
    format_info.format = format;
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &format_info, sizeof format_info) != 0 ||
        !format_info.name) {
      return "?";
    }
    return format_info.name;
  };
  return name(info_.format & SF_FORMAT_TYPEMASK) + ", " + name(info_.format & SF_FORMAT_SUBMASK) +
         ", " + std::to_string(info_.samplerate) + " Hz, " + std::to_string(info_.channels) +
         (info_.channels == 1 ? " channel" : " channels");
}

bool AudioDecoder::emit(const float *samples, size_t count, const Sink &sink) {
  for (size_t i = 0; i < count; ++i) {
    float scaled = samples[i] * 32768.0f;
    // Written so that NaN lands on 0 and nothing outside int16 is converted.
    if (!(scaled >= -32768.0f)) scaled = scaled < 0.0f ? -32768.0f : 0.0f;
    if (scaled > 32767.0f) scaled = 32767.0f;
    pcm_[i] = static_cast<int16_t>(std::lrintf(scaled));
  }
  return count == 0 || sink(pcm_.data(), count);
}

bool AudioDecoder::resample_and_emit(const float *mono, size_t count, const Sink &sink) {
  if (!resampler_) return emit(mono, count, sink);
  // Input per call small enough that its output fits one call's buffer.
  const size_t piece = std::max<size_t>(
      1, static_cast<size_t>(kResampledBlock / 2 * (static_cast<double>(info_.samplerate) / rate_)));
  size_t offset = 0;
  while (offset < count) {
    size_t used = 0, produced = 0;
    const soxr_error_t error =
        soxr_process(resampler_, mono + offset, std::min(piece, count - offset), &used,
                     resampled_.data(), resampled_.size(), &produced);
    if (error) return fail(std::string("resampling failed: ") + error);
    if (!emit(resampled_.data(), produced, sink)) return false;
    if (used == 0 && produced == 0) return fail("the resampler stopped taking input");
    offset += used;
  }
  return true;
}

bool AudioDecoder::decode(const Sink &sink) {
  if (!file_) return fail("no audio is open");
  const int channels = info_.channels;
  const sf_count_t block_frames = static_cast<sf_count_t>(mono_.size());
  for (;;) {
    const sf_count_t got = sf_readf_float(file_, interleaved_.data(), block_frames);
    if (got > 0) {
      frames_read_ += got;
      for (sf_count_t f = 0; f < got; ++f) {
        float sum = 0.0f;
        for (int c = 0; c < channels; ++c) {
          float sample = interleaved_[static_cast<size_t>(f) * channels + c];
          // NaN is silence and infinities clip, so one bad sample cannot
          // spread through the resampler's filter.
          if (!std::isfinite(sample)) {
            ++non_finite_;
            sample = std::isnan(sample) ? 0.0f : (sample > 0.0f ? 1.0f : -1.0f);
          }
          sum += std::clamp(sample, -1.0f, 1.0f);
        }
        mono_[static_cast<size_t>(f)] = sum / static_cast<float>(channels);
      }
      if (!resample_and_emit(mono_.data(), static_cast<size_t>(got), sink)) return false;
    }
    if (got < block_frames) {  // the end, or a failure libsndfile may report
      incomplete_ = sf_error(file_) != SF_ERR_NO_ERROR || source_->read_errno != 0;
      if (sf_error(file_) != SF_ERR_NO_ERROR) {
        warnings_.push_back("reading stopped after " + format_seconds(decoded_seconds()) + ": " +
                            sf_strerror(file_));
      } else if (source_->read_errno) {
        warnings_.push_back("reading stopped after " + format_seconds(decoded_seconds()) + ": " +
                            std::strerror(source_->read_errno));
      }
      break;
    }
  }
  if (resampler_) {
    for (;;) {
      size_t produced = 0;
      const soxr_error_t error =
          soxr_process(resampler_, nullptr, 0, nullptr, resampled_.data(), resampled_.size(),
                       &produced);
      if (error) return fail(std::string("resampling failed: ") + error);
      if (produced == 0) break;
      if (!emit(resampled_.data(), produced, sink)) return false;
    }
  }
  check_length();
  if (non_finite_ > 0) {
    warnings_.push_back(std::to_string(non_finite_) +
                        " samples were not numbers (NaN, read as 0) or infinite (clipped)");
  }
  return true;
}

// A file that ends before its header says it should is reported, never
// passed off as complete.
void AudioDecoder::check_length() {
  ChunkSizes chunk;
  if (logged_chunk_sizes(file_, &chunk)) {
    if (chunk.streamed) return;  // written while streaming: no length promised
    if (chunk.short_of_room) {
      incomplete_ = true;
      warnings_.push_back("truncated: the header promises " + std::to_string(chunk.declared) +
                          " bytes of audio, the file holds " + std::to_string(chunk.room) +
                          "; results cover the " + format_seconds(decoded_seconds()) +
                          " decoded");
      return;
    }
  }
  const double declared_time = declared_seconds();
  if (declared_time > 0 && frames_read_ < info_.frames) {
    incomplete_ = true;
    warnings_.push_back("truncated or damaged: the header promises " +
                        format_seconds(declared_time) + ", " + format_seconds(decoded_seconds()) +
                        " could be decoded; results cover that part");
  }
}

bool read_audio_mono(const std::string &path, int rate, std::vector<int16_t> *samples,
                     std::string *error) {
  AudioDecoder decoder;
  samples->clear();
  const bool ok = decoder.open(path, rate) && decoder.decode([&](const int16_t *pcm, size_t n) {
    samples->insert(samples->end(), pcm, pcm + n);
    return true;
  });
  if (!ok) *error = decoder.error();
  return ok;
}
