#include "frontend/mel_filterbank.h"

#include "frontend/front_end_portable.h"
#include "frontend/mel_tables.h"

namespace qx {

float mel_band_energy(const float *power, int band) {
  const int low = QX_MEL_BAND_EDGES[band];
  const int peak = QX_MEL_BAND_EDGES[band + 1];
  const int high = QX_MEL_BAND_EDGES[band + 2];
  float energy = 0.0f;
  float weight = 0.0f;  // bin `low` gets weight 0
  for (int k = low; k < peak; ++k) {
    energy += power[k] * weight;
    weight += QX_MEL_RISE_SLOPES[band];
  }
  for (int k = peak; k < high; ++k) {
    energy += power[k] * weight;
    weight -= QX_MEL_FALL_SLOPES[band];
  }
  return energy;
}

void mel_energies_portable(const float *power, float *energies, int32_t bands) {
  for (int32_t b = 0; b < bands; ++b) energies[b] = mel_band_energy(power, b);
}

}  // namespace qx
