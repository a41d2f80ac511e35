// Control and inspection of the emulated Metal layer (builds without the
// Metal framework). The emulator behaves like one GPU: command buffers are
// recorded, queued at commit and executed in commit order when someone waits
// for one of them (or when the queue goes away), so a host read that skipped
// its wait sees stale memory, as it would on a GPU. Kernels are the very
// bodies of kernels/orb_kernels.metal, compiled as C++.
//
// It checks what Metal's validation would reject and records each violation
// as a line of text instead of crashing: binding indices and kinds against
// the kernel's declared arguments, threadgroup and grid limits, objects used
// after their last release, a second encoder while one is open, a commit with
// an encoder open, blit offsets and sizes that are not multiples of 4.
//
// Not thread-safe: tests drive it from one thread, as the engine does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qx {
namespace mtl {
namespace emulator {

// Calls that can be told to fail (return null, as Metal does).
enum class Step {
  kDefaultDevice,
  kCommandQueue,
  kLibrary,
  kFunction,
  kPipeline,
  kBuffer,
  kCommandBuffer,
  kComputeEncoder,
  kBlitEncoder,
  kStepCount,
};

// The next `skip` calls of `step` succeed, the one after fails; with
// `persistent` every later call fails too. reset() clears all of this.
void fail_step(Step step, int skip = 0, bool persistent = false);

// Back to one device named "Emulated GPU", limits of width 32 and 1024
// threads per threadgroup, no failures, no violations, counters at 0.
void reset();

// The devices MTLCopyAllDevices reports; the first is the system default.
void set_device_names(const std::vector<std::string> &names);

// Limits the pipelines created from now on report.
void set_pipeline_limits(uint64_t thread_execution_width, uint64_t max_total_threads);

// What Metal would have rejected since the last reset or take.
std::vector<std::string> take_violations();

struct Counters {
  int64_t command_buffers_committed;
  int64_t command_buffers_executed;
  int64_t waits;
  // Encoders ended into command buffers that are not committed yet.
  int64_t encoders_uncommitted;
  // Committed command buffers whose work has not run yet.
  int64_t command_buffers_pending;
  int64_t dispatches;
  int64_t live_objects;
};
Counters counters();

}  // namespace emulator
}  // namespace mtl
}  // namespace qx
