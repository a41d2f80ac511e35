// The Metal objects and calls the backend uses, and nothing else, behind a
// narrow C++ interface. Two implementations exist: metal_layer_apple.mm over
// the Metal framework (macOS build only) and metal_layer_emulated.cc, which
// records command buffers and runs the kernels on the host for every other
// build (see metal_emulator.h).
//
// Ownership follows Metal's: every function that makes or copies an object
// (new_*, create_*, copy_*, and command_buffer / *_encoder, which the backend
// always keeps) returns it retained once, and the caller drops that with
// release(). A null result means Metal gave no object.
//
// Like Metal objects these are used by one thread at a time here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qx {
namespace mtl {

struct Device;
struct DeviceArray;
struct CommandQueue;
struct CommandBuffer;
struct ComputeEncoder;
struct BlitEncoder;
struct Buffer;
struct Library;
struct Function;
struct Pipeline;

// MTLSize.
struct Size {
  uint64_t width, height, depth;
};

// Releases one retain of any object above; null is ignored.
void release_object(void *object);
template <typename T>
inline void release(T *object) {
  release_object(object);
}

// Autorelease pool around calls that hand back autoreleased objects (names,
// labels, command buffers before the retain). Pop with what push returned.
void *autorelease_pool_push();
void autorelease_pool_pop(void *pool);

// MTLCreateSystemDefaultDevice; MTLCopyAllDevices with count and elements
// (device_array_at does not retain).
Device *create_system_default_device();
DeviceArray *copy_all_devices();
uint64_t device_array_count(DeviceArray *devices);
Device *device_array_at(DeviceArray *devices, uint64_t index);
// The device's name as UTF-8, valid until the innermost autorelease pool pops.
const char *device_name(Device *device);

CommandQueue *device_new_command_queue(Device *device);
// newLibraryWithData:error: over the bytes (not copied; they must outlive it).
Library *device_new_library(Device *device, const void *bytes, size_t length);
Function *library_new_function(Library *library, const char *name);
Pipeline *device_new_compute_pipeline(Device *device, Function *function);
uint64_t pipeline_thread_execution_width(Pipeline *pipeline);
uint64_t pipeline_max_total_threads_per_threadgroup(Pipeline *pipeline);

// newBufferWithLength:options: with options 0 (shared storage), and its
// host address.
Buffer *device_new_buffer(Device *device, size_t length);
void *buffer_contents(Buffer *buffer);

CommandBuffer *queue_command_buffer(CommandQueue *queue);
void command_buffer_set_label(CommandBuffer *buffer, const char *label);
void command_buffer_commit(CommandBuffer *buffer);
void command_buffer_wait_until_completed(CommandBuffer *buffer);
ComputeEncoder *command_buffer_compute_encoder(CommandBuffer *buffer);
BlitEncoder *command_buffer_blit_encoder(CommandBuffer *buffer);

void compute_set_pipeline(ComputeEncoder *encoder, Pipeline *pipeline);
void compute_set_buffer(ComputeEncoder *encoder, Buffer *buffer, size_t offset, uint32_t index);
void compute_set_bytes(ComputeEncoder *encoder, const void *bytes, size_t length, uint32_t index);
// dispatchThreads:threadsPerThreadgroup: (a grid of threads, the last
// threadgroups possibly partial) and dispatchThreadgroups:threadsPerThreadgroup:.
void compute_dispatch_threads(ComputeEncoder *encoder, Size grid, Size threadgroup);
void compute_dispatch_threadgroups(ComputeEncoder *encoder, Size groups, Size threadgroup);
void compute_end_encoding(ComputeEncoder *encoder);

void blit_copy(BlitEncoder *encoder, Buffer *source, size_t source_offset, Buffer *destination,
               size_t destination_offset, size_t size);
void blit_fill(BlitEncoder *encoder, Buffer *buffer, size_t offset, size_t length, uint8_t value);
void blit_end_encoding(BlitEncoder *encoder);

}  // namespace mtl
}  // namespace qx
