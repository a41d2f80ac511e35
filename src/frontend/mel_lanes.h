// The mel filterbank laid out for eight bands at once: lane b of group g
// is band 8g + b, and step t of a lane weights bin first_bin + t. The
// weights are the ones mel_band_energy builds by repeated addition, then
// zeros to the group's last step: a zero-weighted bin adds +0 to a sum that
// is not negative, which leaves it unchanged, so a lane that sums its steps
// in order has the band energy's bits.
#pragma once

#include <cstdint>

#include "frontend/mel_tables.h"

namespace qx {

constexpr int kMelLanes = 8;
constexpr int kMelLaneGroups = kMelBandCount / kMelLanes;  // 5
constexpr int kMelLaneStepCapacity = 96;                   // 88 are used

struct MelLaneGroup {
  int32_t first_bin[kMelLanes];  // the band's lowest edge e[band]
  int32_t steps;                 // the widest band's bins, rounded up to a multiple of 8
  int32_t first_step;            // row of this group's step 0 in weights
};

struct MelLaneTable {
  MelLaneGroup groups[kMelLaneGroups];
  // weights[first_step + t][b]: bin first_bin[b] + t of lane b. Every lane
  // reads bins first_bin + t for t < steps, all of them below 257.
  alignas(32) float weights[kMelLaneStepCapacity][kMelLanes];
};

// Built on first use.
const MelLaneTable &mel_lane_table();

}  // namespace qx
