// Bin powers and mel band energies, eight at a time.
#include "frontend/mel_lanes.h"
#include "frontend/x86/avx2_blocks.h"

namespace qx {

QX_FRONT_END_AVX2 void bin_powers_avx2(const float *spectrum, float *power) {
  for (int k = 0; k < 256; k += 8) {
    const __m256 low = _mm256_loadu_ps(spectrum + 2 * k);       // bins k .. k+3
    const __m256 high = _mm256_loadu_ps(spectrum + 2 * k + 8);  // bins k+4 .. k+7
    // re^2 + im^2 of neighbouring pairs, in the order k, k+1, k+4, k+5,
    // k+2, k+3, k+6, k+7; the permute puts the bins back in order.
    const __m256 sums = _mm256_hadd_ps(_mm256_mul_ps(low, low), _mm256_mul_ps(high, high));
    _mm256_storeu_ps(power + k, _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(sums),
                                                                       _MM_SHUFFLE(3, 1, 2, 0))));
  }
  power[256] = spectrum[512] * spectrum[512] + spectrum[513] * spectrum[513];
}

// Lane b of group g sums band 8g + b over its steps in bin order. Eight
// steps at a time: each lane's next eight bins are one row, and a transpose
// makes step t's bins of all eight lanes one vector.
QX_FRONT_END_AVX2 void mel_energies_avx2(const float *power, float *energies, int32_t bands) {
  const MelLaneTable &table = mel_lane_table();
  for (int g = 0; g * kMelLanes < bands; ++g) {
    const MelLaneGroup &group = table.groups[g];
    __m256 energy = _mm256_setzero_ps();
    for (int t0 = 0; t0 < group.steps; t0 += kMelLanes) {
      __m256 bins[kMelLanes];
      for (int b = 0; b < kMelLanes; ++b) {
        bins[b] = _mm256_loadu_ps(power + group.first_bin[b] + t0);
      }
      avx2::transpose8x8(bins);
      const float(*weights)[kMelLanes] = table.weights + group.first_step + t0;
      for (int t = 0; t < kMelLanes; ++t) {
        energy = _mm256_add_ps(energy, _mm256_mul_ps(bins[t], _mm256_load_ps(weights[t])));
      }
    }
    _mm256_storeu_ps(energies + kMelLanes * g, energy);
  }
}

}  // namespace qx
