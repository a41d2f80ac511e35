// Soak program: many frames through one engine, then through four engines on
// four threads, checking what a long-running host relies on:
//   - resident memory (VmRSS) grows by less than 1 MiB from 10% to 100% of
//     the frames, and the library's live heap blocks return to their count;
//   - a warm engine allocates only the scores array of each voiced frame;
//   - the four-thread run scores every frame exactly as a serial run does;
//   - the calling thread's error stack stays empty after successful frames.
//
//   qx_orb_soak [frames, default 100000] [model, default models/default.qx]
//
// Exits 0 when every check holds, 1 with the failed checks named otherwise.
//
// The voice detector keeps state from frame to frame, so thread t's quarter
// of the frames is compared with a fresh engine running that same quarter on
// the main thread; the first quarter's reference is the first quarter of the
// one-engine run, which also starts fresh.
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/allocator.h"
#include "qx_orb.h"

namespace {

constexpr int kFrameSamples = 32768;
constexpr int kLanguages = QX_ORB_NUM_LANGUAGES;
constexpr int kThreads = 4;
constexpr float kVoiceThreshold = 0.5f;
constexpr const char *kDevice = "cpu:1";
constexpr uint64_t kSeed = 0x5eed2024u;
constexpr double kMaxRssGrowthMiB = 1.0;
constexpr int kRssSamples = 10;  // at 10%, 20%, ..., 100% of the frames

std::vector<std::string> g_failures;

void fail(const std::string &what) {
  std::printf("FAIL: %s\n", what.c_str());
  g_failures.push_back(what);
}

uint64_t splitmix64(uint64_t x) {
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

// A pool of distinct frames: voice-like ones (a gliding pitch with
// harmonics under a syllable-rate envelope), digital silence, and noise
// from faint to loud. Frames are picked from it by a seeded hash of the frame
// index, so every run sees the same sequence without holding it all.
class FramePool {
 public:
  FramePool() {
    for (int i = 0; i < kVoiced; ++i) frames_.push_back(voiced(i));
    frames_.emplace_back(kFrameSamples, 0);
    for (int i = 0; i < kNoise; ++i) frames_.push_back(noise(i, 30 << (2 * (i % 4))));
  }
  const int16_t *frame(long index) const {
    return frames_[splitmix64(kSeed ^ static_cast<uint64_t>(index)) % frames_.size()].data();
  }

 private:
  static constexpr int kVoiced = 12;
  static constexpr int kNoise = 8;

  static std::vector<int16_t> voiced(int variant) {
    std::vector<int16_t> frame(kFrameSamples);
    uint64_t state = splitmix64(kSeed + 1000 + variant);
    const double f0 = 100.0 + 12.0 * variant;
    const double syllables = 3.0 + 0.25 * variant;
    double phase = 0.0;
    for (int i = 0; i < kFrameSamples; ++i) {
      const double t = i / 16000.0;
      phase += 2 * M_PI * f0 * (1.0 + 0.15 * std::sin(2 * M_PI * 1.3 * t)) / 16000.0;
      double voice = 0.0;
      for (int h = 1; h <= 6; ++h) voice += std::sin(h * phase) / h;
      const double envelope = 0.55 + 0.45 * std::sin(2 * M_PI * syllables * t);
      state = splitmix64(state);
      const double hiss = static_cast<double>(static_cast<int64_t>(state >> 53) - 512);
      frame[i] = static_cast<int16_t>(5000.0 * envelope * voice + hiss);
    }
    return frame;
  }

  static std::vector<int16_t> noise(int variant, int amplitude) {
    std::vector<int16_t> frame(kFrameSamples);
    uint64_t state = splitmix64(kSeed + 2000 + variant);
    for (int i = 0; i < kFrameSamples; ++i) {
      state = splitmix64(state);
      frame[i] = static_cast<int16_t>(static_cast<int64_t>(state % (2 * amplitude + 1)) -
                                      amplitude);
    }
    return frame;
  }

  std::vector<std::vector<int16_t>> frames_;
};

// Every frame's outcome, allocated and touched before a run starts so that
// storing it adds nothing to the resident size the run measures.
struct Results {
  explicit Results(long frames)
      : voiced(static_cast<size_t>(frames), 0),
        scores(static_cast<size_t>(frames) * kLanguages, 0.0f) {}
  std::vector<uint8_t> voiced;
  std::vector<float> scores;
};

double rss_mib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    long kib = 0;
    if (std::sscanf(line.c_str(), "VmRSS: %ld kB", &kib) == 1) return kib / 1024.0;
  }
  return -1.0;
}

// What one thread's frames did besides their scores.
struct Tally {
  long voiced = 0;
  long errors = 0;         // failed qx_orb_process calls
  long stack_entries = 0;  // successful frames after which messages were waiting
};

void print_messages(const char *context, long frame) {
  char **stack = nullptr;
  int32_t depth = 0;
  qx_get_error_stack(&stack, &depth);
  std::fprintf(stderr, "%s, frame %ld:\n", context, frame);
  for (int32_t i = 0; stack && i < depth; ++i) std::fprintf(stderr, "  %s\n", stack[i]);
  qx_free_error_stack(stack);
}

// Frames [begin, end) through `engine`; `progress` counts finished frames.
void run_frames(QxOrb *engine, const FramePool &pool, long begin, long end, Results *results,
                Tally *tally, std::atomic<long> *progress) {
  for (long f = begin; f < end; ++f) {
    float *scores = nullptr;
    if (qx_orb_process(engine, pool.frame(f), &scores) != QX_STATUS_SUCCESS) {
      if (tally->errors++ == 0) print_messages("qx_orb_process failed", f);
      progress->fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    // Success leaves nothing to collect: the call reports INVALID_STATE.
    char **stack = nullptr;
    int32_t depth = 0;
    const QxStatus stack_status = qx_get_error_stack(&stack, &depth);
    if (stack_status != QX_STATUS_INVALID_STATE || depth != 0 || stack != nullptr) {
      if (tally->stack_entries++ == 0) {
        std::fprintf(stderr, "messages after a successful frame %ld (status %d):\n", f,
                     stack_status);
        for (int32_t i = 0; stack && i < depth; ++i) std::fprintf(stderr, "  %s\n", stack[i]);
      }
      qx_free_error_stack(stack);
    }
    if (scores) {
      results->voiced[f] = 1;
      std::memcpy(&results->scores[f * kLanguages], scores, kLanguages * sizeof(float));
      tally->voiced++;
    }
    qx_orb_scores_delete(scores);
    progress->fetch_add(1, std::memory_order_release);
  }
}

QxOrb *make_engine(const char *model) {
  QxOrb *engine = nullptr;
  if (qx_orb_init(model, kDevice, kVoiceThreshold, &engine) != QX_STATUS_SUCCESS) {
    print_messages("qx_orb_init failed", -1);
    std::exit(1);
  }
  return engine;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// RSS at each tenth of `frames`, watched from the calling thread.
std::vector<double> sample_rss(const std::atomic<long> &progress, long frames) {
  std::vector<double> samples;
  for (int k = 1; k <= kRssSamples; ++k) {
    const long mark = frames * k / kRssSamples;
    while (progress.load(std::memory_order_acquire) < mark) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    samples.push_back(rss_mib());
  }
  return samples;
}

void report_rss(const char *run, const std::vector<double> &samples) {
  std::printf("  RSS MiB at 10%%..100%%:");
  for (double mib : samples) std::printf(" %.2f", mib);
  const double growth = samples.back() - samples.front();
  std::printf("\n  RSS growth 10%% -> 100%%: %+.3f MiB (limit %.1f)\n", growth, kMaxRssGrowthMiB);
  if (growth >= kMaxRssGrowthMiB) {
    char text[160];
    std::snprintf(text, sizeof(text), "%s: resident memory grew %.3f MiB from 10%% to 100%%", run,
                  growth);
    fail(text);
  }
}

void check_tally(const char *run, const Tally &tally) {
  if (tally.errors) fail(std::string(run) + ": " + std::to_string(tally.errors) + " frames failed");
  if (tally.stack_entries) {
    fail(std::string(run) + ": messages waiting after " + std::to_string(tally.stack_entries) +
         " successful frames");
  }
}

// First frame in [begin, end) whose outcome differs, or -1.
long first_difference(const Results &a, const Results &b, long begin, long end) {
  for (long f = begin; f < end; ++f) {
    if (a.voiced[f] != b.voiced[f] ||
        std::memcmp(&a.scores[f * kLanguages], &b.scores[f * kLanguages],
                    kLanguages * sizeof(float)) != 0) {
      return f;
    }
  }
  return -1;
}

}  // namespace

int main(int argc, char **argv) {
  const long frames = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 100000;
  const char *model = argc > 2 ? argv[2] : QX_SOAK_MODEL;
  if (frames < 100 || argc > 3) {
    std::fprintf(stderr, "usage: %s [frames >= 100, default 100000] [model.qx]\n", argv[0]);
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // keeps FAIL lines in order with the report
  qx_log_disable();
  {
    // The first entry point called makes the error stack's spare message set,
    // which lives for the process: made here, it stays out of the counts.
    char **devices = nullptr;
    int32_t count = 0;
    qx_orb_list_hardware_devices(&devices, &count);
    qx_orb_free_hardware_devices(devices, count);
  }
  const FramePool pool;
  std::printf("soak: %ld frames, model %s, device %s, voice threshold %.2f, seed %#llx\n", frames,
              model, kDevice, static_cast<double>(kVoiceThreshold),
              static_cast<unsigned long long>(kSeed));
  std::printf("RSS before any engine: %.2f MiB\n", rss_mib());

  // ---- One engine, every frame, on the main thread.
  Results serial(frames);
  {
    const long live_before = qx::allocator_testing::live_blocks();
    QxOrb *engine = make_engine(model);
    Tally tally;
    std::atomic<long> progress{0};
    std::vector<double> rss;
    long allocations_at_warm = 0, voiced_at_warm = 0, live_at_warm = 0;
    const auto start = std::chrono::steady_clock::now();
    // Ten slices, so RSS and the allocation count are read between frames.
    for (int k = 1; k <= kRssSamples; ++k) {
      run_frames(engine, pool, frames * (k - 1) / kRssSamples, frames * k / kRssSamples, &serial,
                 &tally, &progress);
      rss.push_back(rss_mib());
      if (k == 1) {
        allocations_at_warm = qx::allocator_testing::allocation_count();
        voiced_at_warm = tally.voiced;
        live_at_warm = qx::allocator_testing::live_blocks();
      }
    }
    const double elapsed = seconds_since(start);
    const long allocations = qx::allocator_testing::allocation_count() - allocations_at_warm;
    const long voiced_after_warm = tally.voiced - voiced_at_warm;
    const long live_at_end = qx::allocator_testing::live_blocks();
    qx_orb_delete(engine);
    const long live_after = qx::allocator_testing::live_blocks();

    std::printf("one engine: %ld frames (%ld voiced, %ld unvoiced) in %.1f s, %.3f ms/frame\n",
                frames, tally.voiced, frames - tally.voiced, elapsed, 1000.0 * elapsed / frames);
    report_rss("one engine", rss);
    std::printf("  heap allocations after 10%%: %ld for %ld voiced frames; live blocks at 10%% %ld, "
                "at 100%% %ld; after delete %ld (before init %ld)\n",
                allocations, voiced_after_warm, live_at_warm, live_at_end, live_after, live_before);
    check_tally("one engine", tally);
    if (tally.voiced == 0 || tally.voiced == frames) {
      fail("one engine: the frames are not a mix of voiced and unvoiced");
    }
    if (allocations != voiced_after_warm) {
      fail("one engine: a warm engine allocated more than one scores array per voiced frame");
    }
    if (live_at_end != live_at_warm) fail("one engine: live heap blocks grew after warm-up");
    if (live_after != live_before) fail("one engine: blocks left after qx_orb_delete");
  }

  // ---- Four engines, each on its own thread, one quarter of the frames each.
  Results parallel(frames);
  {
    const long live_before = qx::allocator_testing::live_blocks();
    QxOrb *engines[kThreads];
    for (auto &engine : engines) engine = make_engine(model);
    Tally tallies[kThreads];
    std::atomic<long> progress{0};
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        run_frames(engines[t], pool, frames * t / kThreads, frames * (t + 1) / kThreads,
                   &parallel, &tallies[t], &progress);
      });
    }
    const std::vector<double> rss = sample_rss(progress, frames);
    for (auto &thread : threads) thread.join();
    const double elapsed = seconds_since(start);
    for (QxOrb *engine : engines) qx_orb_delete(engine);
    const long live_after = qx::allocator_testing::live_blocks();

    Tally total;
    for (const Tally &t : tallies) {
      total.voiced += t.voiced;
      total.errors += t.errors;
      total.stack_entries += t.stack_entries;
    }
    std::printf("four engines on four threads: %ld frames (%ld voiced) in %.1f s, "
                "%.3f ms/frame overall\n",
                frames, total.voiced, elapsed, 1000.0 * elapsed / frames);
    report_rss("four engines", rss);
    std::printf("  live blocks after delete %ld (before init %ld)\n", live_after, live_before);
    check_tally("four engines", total);
    if (live_after != live_before) fail("four engines: blocks left after qx_orb_delete");
  }

  // ---- Serial references for quarters 2-4; quarter 1 is the one-engine run's.
  {
    Results &reference = serial;
    Results rest(frames);
    const auto start = std::chrono::steady_clock::now();
    long differing_quarters = 0;
    for (int t = 0; t < kThreads; ++t) {
      const long begin = frames * t / kThreads, end = frames * (t + 1) / kThreads;
      const Results *expected = &reference;
      if (t > 0) {
        QxOrb *engine = make_engine(model);
        Tally tally;
        std::atomic<long> progress{0};
        run_frames(engine, pool, begin, end, &rest, &tally, &progress);
        qx_orb_delete(engine);
        check_tally("serial reference", tally);
        expected = &rest;
      }
      const long f = first_difference(*expected, parallel, begin, end);
      if (f >= 0) {
        differing_quarters++;
        std::fprintf(stderr, "thread %d: frame %ld differs from the serial run (voiced %d vs %d)\n",
                     t, f, parallel.voiced[f], expected->voiced[f]);
      }
    }
    std::printf("serial references: %.1f s; four-thread scores identical to serial in %ld of %d "
                "quarters\n",
                seconds_since(start), kThreads - differing_quarters, kThreads);
    if (differing_quarters) fail("four engines: scores differ from the serial run");
  }

  std::printf("RSS at end: %.2f MiB\n", rss_mib());
  if (!g_failures.empty()) {
    std::printf("FAILED: %zu check(s)\n", g_failures.size());
    return 1;
  }
  std::printf("PASSED\n");
  return 0;
}
