#include "frontend/vad_network.h"

namespace qx {
namespace {

// Static records point at read-only constants: operators only ever read them.
template <typename T, size_t N>
constexpr TensorBuffer constant(const T (&values)[N]) {
  return {static_cast<int32_t>(sizeof(values)), kTensorStatic,
          const_cast<void *>(static_cast<const void *>(values))};
}

constexpr TensorBuffer state(int32_t bytes) { return {bytes, 0, nullptr}; }

}  // namespace

const TensorBuffer QX_VAD_PARAMETERS[kVadTensorCount] = {
    state(8),    // 0: Q31 probabilities [no voice, voice]
    state(160),  // 1: two front-end rows, then each layer's new h
    state(480),  // 2: gate inputs z, u, o of the current layer
    state(4),    // 3: two output logits
    state(160),  // 4: layer 1 h
    state(160),  // 5: layer 1 cell
    state(160),  // 6: layer 2 h
    state(160),  // 7: layer 2 cell
    constant(QX_VAD_STANDARDIZE_SHIFT),
    constant(QX_VAD_STANDARDIZE_SCALE),
    constant(QX_VAD_LAYER1_INPUT_WEIGHTS),
    constant(QX_VAD_LAYER1_INPUT_BIAS),
    constant(QX_VAD_LAYER1_RECURRENT_WEIGHTS),
    constant(QX_VAD_LAYER1_RECURRENT_BIAS),
    constant(QX_VAD_LAYER2_INPUT_WEIGHTS),
    constant(QX_VAD_LAYER2_INPUT_BIAS),
    constant(QX_VAD_LAYER2_RECURRENT_WEIGHTS),
    constant(QX_VAD_LAYER2_RECURRENT_BIAS),
    constant(QX_VAD_OUTPUT_WEIGHTS),
    constant(QX_VAD_OUTPUT_BIAS),
};

// Opcode, tensor indexes, immediates; see the comment per instruction.
const int32_t QX_VAD_PROGRAM[kVadProgramWords] = {
    // Reset: clear h and c of both layers.
    9, 4, 160, 0,                       // zero_bytes layer 1 h
    9, 5, 160, 0,                       // zero_bytes layer 1 c
    9, 6, 160, 0,                       // zero_bytes layer 2 h
    9, 7, 160, 0,                       // zero_bytes layer 2 c
    // Step: one chunk of two front-end rows.
    13, 1, 1, 8, 9, 2, 40, 0, 0,        // standardize_i16 in place
    3, 2, 1, 10, 11, 1, 240, 80, 0, 0,  // dense_i8: gates = W1 x + b1
    2, 2, 4, 12, 13, 1, 240, 80, 0, 0,  // dense_acc_i8: gates += U1 h1 + b1'
    6, 1, 5, 2, 80, 0, 0, 0,            // lstm_cell_i16: new h1 into tensor 1
    8, 4, 1, 160, 0, 0,                 // copy_bytes: keep h1
    3, 2, 1, 14, 15, 1, 240, 80, 0, 0,  // dense_i8: gates = W2 h1 + b2
    2, 2, 6, 16, 17, 1, 240, 80, 0, 0,  // dense_acc_i8: gates += U2 h2 + b2'
    6, 1, 7, 2, 80, 0, 0, 0,            // lstm_cell_i16: new h2 into tensor 1
    8, 6, 1, 160, 0, 0,                 // copy_bytes: keep h2
    3, 3, 1, 18, 19, 1, 2, 80, 0, 0,    // dense_i8: two logits
    12, 0, 3, 1, 2, 0, 0,               // softmax_i16_to_q31
};

}  // namespace qx
