/*
 * qx_ypu_impl_cuda_orb: the CUDA GPU implementation library behind device
 * type 1 of libqx_orb. libqx_orb calls these functions as the slots of its
 * operation table; their arguments and results are those slots'.
 *
 * Handles are opaque: `backend` is one device (taabe5 makes it), `tensor` a
 * buffer in that device's memory with a host staging copy for map / unmap.
 * Statuses are libqx_orb's: 0 success, 3 invalid argument (from an operator:
 * "not done here", the caller then runs its reference operator), 7 device
 * failure. No function throws; every one may be called from C.
 */
#ifndef QX_YPU_IMPL_CUDA_ORB_H
#define QX_YPU_IMPL_CUDA_ORB_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(QX_YPU_BUILDING)
#define QX_YPU_API __declspec(dllexport)
#else
#define QX_YPU_API __declspec(dllimport)
#endif
#else
#define QX_YPU_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* create_backend: device `device_index` (0 for "gpu"); 0 and *backend set,
 * or 3 when no such device exists, 7 when it cannot be used. */
QX_YPU_API int32_t taabe5(int32_t device_index, void **backend);
/* destroy_backend: releases the device handle; null is ignored. */
QX_YPU_API void taabe248(void *backend);
/* host_alloc / host_free: 32-byte aligned host memory for runtime records. */
QX_YPU_API void *taabe197(void *backend, int32_t size);
QX_YPU_API void taabe258(void *backend, void *pointer);
/* tensor_alloc / tensor_free: `size` bytes of zeroed device memory (null on
 * failure or a negative size); freeing null is ignored. */
QX_YPU_API void *taabe200(void *backend, int32_t size, int32_t flags);
QX_YPU_API void taabe261(void *backend, void *tensor);
/* upload / download: `length` bytes at byte `offset`; 3 when the range
 * leaves the tensor, 7 when the device copy fails. */
QX_YPU_API int32_t taabe212(void *backend, void *tensor, const void *source, int32_t offset,
                            int32_t length);
QX_YPU_API int32_t taabe193(void *backend, void *tensor, void *destination, int32_t offset,
                            int32_t length);
/* map: the host copy, valid until the matching unmap. Mode 1 fetches the
 * device contents (unless the host copy is already current), mode 0 does
 * not: the caller then writes every byte of the range it uses. unmap with
 * `written` 1 sends the host copy back when the last map of it ends. */
QX_YPU_API void *taabe230(void *backend, void *tensor, int32_t mode);
QX_YPU_API void taabe243(void *backend, void *tensor, int32_t written);
/* tensor_size: bytes. */
QX_YPU_API int32_t taabe34(void *backend, void *tensor);
/* list_devices / free_device_list: "gpu:%d - %s" per device, malloc'd. */
QX_YPU_API int32_t taabe3(char ***devices, int32_t *count);
QX_YPU_API void taabe229(char **devices, int32_t count);

/* device_op for opcodes 0 to 13: (backend, op handle (unused, null),
 * operand block). 0: outputs written on the device; 3: not done. */
QX_YPU_API int32_t taabe283(void *backend, void *op_handle, const void *operands); /* add_f32 */
QX_YPU_API int32_t taabe159(void *backend, void *op_handle, const void *operands); /* add_i16 */
QX_YPU_API int32_t taabe74(void *backend, void *op_handle,
                           const void *operands); /* dense_acc_i8 */
QX_YPU_API int32_t taabe255(void *backend, void *op_handle, const void *operands); /* dense_i8 */
QX_YPU_API int32_t taabe236(void *backend, void *op_handle, const void *operands); /* gelu_f32 */
QX_YPU_API int32_t taabe263(void *backend, void *op_handle,
                            const void *operands); /* normalize_f32_to_i16 */
QX_YPU_API int32_t taabe8(void *backend, void *op_handle,
                          const void *operands); /* lstm_cell_i16 */
QX_YPU_API int32_t taabe26(void *backend, void *op_handle, const void *operands);  /* matmul_f32 */
QX_YPU_API int32_t taabe202(void *backend, void *op_handle, const void *operands); /* copy_bytes */
QX_YPU_API int32_t taabe91(void *backend, void *op_handle, const void *operands);  /* zero_bytes */
QX_YPU_API int32_t taabe282(void *backend, void *op_handle, const void *operands); /* relu_f32 */
QX_YPU_API int32_t taabe254(void *backend, void *op_handle, const void *operands); /* softmax_f32 */
QX_YPU_API int32_t taabe120(void *backend, void *op_handle,
                            const void *operands); /* softmax_i16_to_q31 */
QX_YPU_API int32_t taabe64(void *backend, void *op_handle,
                           const void *operands); /* standardize_i16 */

#ifdef __cplusplus
}
#endif

#endif /* QX_YPU_IMPL_CUDA_ORB_H */
