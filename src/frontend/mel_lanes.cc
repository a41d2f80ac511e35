#include "frontend/mel_lanes.h"

#include <cassert>

#include "frontend/real_fft.h"

namespace qx {
namespace {

MelLaneTable build() {
  MelLaneTable table{};
  int32_t next_step = 0;
  for (int g = 0; g < kMelLaneGroups; ++g) {
    MelLaneGroup &group = table.groups[g];
    int32_t widest = 0;
    for (int b = 0; b < kMelLanes; ++b) {
      const int band = kMelLanes * g + b;
      const int32_t width = QX_MEL_BAND_EDGES[band + 2] - QX_MEL_BAND_EDGES[band];
      widest = width > widest ? width : widest;
    }
    group.steps = (widest + kMelLanes - 1) / kMelLanes * kMelLanes;
    group.first_step = next_step;
    next_step += group.steps;
    assert(next_step <= kMelLaneStepCapacity);
    for (int b = 0; b < kMelLanes; ++b) {
      const int band = kMelLanes * g + b;
      const int low = QX_MEL_BAND_EDGES[band];
      const int peak = QX_MEL_BAND_EDGES[band + 1];
      const int high = QX_MEL_BAND_EDGES[band + 2];
      group.first_bin[b] = low;
      assert(low + group.steps <= kFftBinCount);
      // mel_band_energy's weights, step by step.
      float weight = 0.0f;
      int32_t t = group.first_step;
      for (int k = low; k < peak; ++k, ++t) {
        table.weights[t][b] = weight;
        weight += QX_MEL_RISE_SLOPES[band];
      }
      for (int k = peak; k < high; ++k, ++t) {
        table.weights[t][b] = weight;
        weight -= QX_MEL_FALL_SLOPES[band];
      }
    }
  }
  return table;
}

}  // namespace

const MelLaneTable &mel_lane_table() {
  static const MelLaneTable table = build();
  return table;
}

}  // namespace qx
