// The voice detector's network: 20 tensors and the graph program over them.
#pragma once

#include <cstdint>

#include "runtime/operation_table.h"

namespace qx {

constexpr int32_t kVadTensorCount = 20;
constexpr int32_t kVadProgramWords = 110;
constexpr int32_t kVadResetBegin = 0;   // clears the recurrent state
constexpr int32_t kVadResetEnd = 16;
constexpr int32_t kVadStepBegin = 16;   // one 512-sample chunk
constexpr int32_t kVadStepEnd = 110;

// Tensor indexes the detector touches directly.
constexpr int32_t kVadProbabilities = 0;  // int32[2] Q31: no voice, voice
constexpr int32_t kVadFeatures = 1;       // int16[2][40] front-end rows

// Records 0-7 are per-detector state (no data); 8-19 are the trained
// constants, used in place on host-memory devices.
extern const TensorBuffer QX_VAD_PARAMETERS[kVadTensorCount];
extern const int32_t QX_VAD_PROGRAM[kVadProgramWords];

// The trained constants (generated source, tools/generate_vad_weights.py).
extern const int16_t QX_VAD_STANDARDIZE_SHIFT[40];
extern const int16_t QX_VAD_STANDARDIZE_SCALE[40];
extern const int8_t QX_VAD_LAYER1_INPUT_WEIGHTS[240 * 80];
extern const int8_t QX_VAD_LAYER1_INPUT_BIAS[240];
extern const int8_t QX_VAD_LAYER1_RECURRENT_WEIGHTS[240 * 80];
extern const int8_t QX_VAD_LAYER1_RECURRENT_BIAS[240];
extern const int8_t QX_VAD_LAYER2_INPUT_WEIGHTS[240 * 80];
extern const int8_t QX_VAD_LAYER2_INPUT_BIAS[240];
extern const int8_t QX_VAD_LAYER2_RECURRENT_WEIGHTS[240 * 80];
extern const int8_t QX_VAD_LAYER2_RECURRENT_BIAS[240];
extern const int8_t QX_VAD_OUTPUT_WEIGHTS[2 * 80];
extern const int8_t QX_VAD_OUTPUT_BIAS[2];

}  // namespace qx
