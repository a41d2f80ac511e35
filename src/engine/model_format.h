// Constants of the ".qx" model file, shared by the reader and the model tools.
#pragma once

#include <cstdint>

namespace qx {
namespace model_format {

constexpr char kMagic[] = "orb";      // 3 bytes, no terminator in the file
constexpr char kVersion[] = "1.0.0";  // 5 bytes, no terminator; the library version
constexpr int kMagicBytes = 3;
constexpr int kVersionBytes = 5;
constexpr char kFileKind[] = "Orb model (.qx)";  // detail of the 105 and 106 messages

// Limits of a well-formed model: the FFT has one size, the built-in mel
// filterbank 40 bands, the scores array 9 languages.
constexpr int32_t kWindowLength = 512;
constexpr int32_t kMaxHopLength = 32768;  // one frame
constexpr int32_t kMaxMelBands = 40;
constexpr int32_t kNumLanguages = 9;

// Bytes of one recurrent layer record before its weights: hidden_size, input_size.
constexpr int32_t kLayerHeaderBytes = 8;

}  // namespace model_format
}  // namespace qx
