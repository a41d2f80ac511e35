// One launch function per kernel: host code hands over device pointers and
// validated shapes; each returns false when the launch was refused. The
// shapes are those of the operators' definitions in libqx_orb's reference
// operators; every count here is positive.
#pragma once

#include <cstdint>

namespace ypu {

// Fills the kernels' constant tables on the calling thread's device.
bool prepare_kernels();

bool launch_add_f32(float *out, const float *a, const float *b, int64_t count);
bool launch_add_i16(int16_t *out_q10, const int16_t *a_q10, const int16_t *b_q10, int64_t count);
bool launch_dense_i8(int16_t *out_q10, const int16_t *x_q10, const int8_t *w_q7,
                     const int8_t *bias_q7, int32_t rows, int32_t outputs, int32_t inputs,
                     bool accumulate);
bool launch_gelu_f32(float *out, const float *x, int64_t count);
bool launch_normalize_f32_to_i16(int16_t *out_q10, const float *x, int32_t rows, int32_t columns,
                                 float epsilon);
bool launch_lstm_cell_i16(int16_t *h_q10, int16_t *cell_q10, const int16_t *gates_q10,
                          int32_t width);
// k_inputs may be 0: the outputs are then zeros.
bool launch_matmul_f32(float *out, const float *x, const float *w, int32_t m_rows,
                       int32_t n_outputs, int32_t k_inputs);
bool launch_relu_f32(float *out, const float *x, int64_t count);
bool launch_softmax_f32(float *out, const float *x, int32_t rows, int32_t columns);
bool launch_softmax_i16_to_q31(int32_t *out_q31, const int16_t *x_q10, int32_t rows,
                               int32_t columns);
bool launch_standardize_i16(int16_t *out_q10, const int16_t *x_q10, const int16_t *shift_q10,
                            const int16_t *scale_q10, int32_t rows, int32_t columns);

}  // namespace ypu
