// The triangular mel filterbank shared by the classifier's features and the
// voice detector's front end.
#pragma once

#include "frontend/mel_tables.h"

namespace qx {

// Energy of mel band `band` (0..39) from 257 bin powers. The triangle's
// weights are built by repeated float32 addition of the rise slope and
// subtraction of the fall slope, so both users see the same bits.
float mel_band_energy(const float *power, int band);

// True when the band has neither a rising nor a falling side. Inline: the
// detector asks for each band of every chunk.
inline bool mel_band_is_empty(int band) {
  return QX_MEL_BAND_EDGES[band] >= QX_MEL_BAND_EDGES[band + 2];
}

}  // namespace qx
