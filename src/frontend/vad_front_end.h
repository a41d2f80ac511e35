// The voice detector's fixed-point front end: 256 new samples in, 40 int16
// log-mel values out (about 1024 * log10(E / 2^30) per band).
#pragma once

#include <cstdint>

#include "qx_orb.h"

namespace qx {

constexpr int32_t kVadHop = 256;
constexpr int32_t kVadBands = 40;

// The pre-emphasised samples of the previous call, oldest first.
struct VadHistory {
  int32_t hop;
  float samples[kVadHop];
};

struct VadFrontEnd {
  int32_t hop;
  int16_t previous_sample;  // last raw sample of the previous call
  VadHistory *history;
};

// Working memory lives on the stack (about 8 KB); cannot fail.
QxStatus vad_front_end(VadFrontEnd *front_end, const int16_t *samples, int16_t *out);

// 1024 * log10(energy / 2^30) with 308 per octave, 0 at and above 2^30,
// -32768 for energies that scale to 0. `energy` is a band energy: not
// negative, not NaN.
int16_t fixed_log10_q10(float energy);

}  // namespace qx
