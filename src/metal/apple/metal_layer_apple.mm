// The Metal layer over Apple's Metal framework (macOS build only; compiled
// without ARC, so retains and releases are written out as the layer's
// contract says). Each handle is the Objective-C object itself.
#import <Foundation/Foundation.h>
#import <Metal/Metal.h>
#include <dispatch/dispatch.h>
#include <objc/objc.h>

#include "metal/metal_layer.h"

#if __has_feature(objc_arc)
#error "metal_layer_apple.mm manages retains itself: compile it with -fno-objc-arc"
#endif

namespace qx {
namespace mtl {
namespace {

template <typename T>
T *handle(id object) {
  return reinterpret_cast<T *>(object);
}

// Returns `object` retained once more for the caller (for autoreleased results).
template <typename T>
T *retained(id object) {
  return object ? handle<T>([object retain]) : nullptr;
}

id<MTLDevice> device_of(Device *device) { return reinterpret_cast<id<MTLDevice>>(device); }
id<MTLCommandBuffer> commands_of(CommandBuffer *buffer) {
  return reinterpret_cast<id<MTLCommandBuffer>>(buffer);
}
id<MTLComputeCommandEncoder> compute_of(ComputeEncoder *encoder) {
  return reinterpret_cast<id<MTLComputeCommandEncoder>>(encoder);
}
id<MTLBlitCommandEncoder> blit_of(BlitEncoder *encoder) {
  return reinterpret_cast<id<MTLBlitCommandEncoder>>(encoder);
}
id<MTLBuffer> buffer_of(Buffer *buffer) { return reinterpret_cast<id<MTLBuffer>>(buffer); }
id<MTLComputePipelineState> pipeline_of(Pipeline *pipeline) {
  return reinterpret_cast<id<MTLComputePipelineState>>(pipeline);
}
MTLSize size_of(Size size) {
  return MTLSizeMake(static_cast<NSUInteger>(size.width), static_cast<NSUInteger>(size.height),
                     static_cast<NSUInteger>(size.depth));
}

}  // namespace

void release_object(void *object) {
  if (object) [reinterpret_cast<id>(object) release];
}

void *autorelease_pool_push() { return [[NSAutoreleasePool alloc] init]; }
void autorelease_pool_pop(void *pool) { [reinterpret_cast<NSAutoreleasePool *>(pool) drain]; }

Device *create_system_default_device() { return handle<Device>(MTLCreateSystemDefaultDevice()); }

DeviceArray *copy_all_devices() { return handle<DeviceArray>(MTLCopyAllDevices()); }

uint64_t device_array_count(DeviceArray *devices) {
  return [reinterpret_cast<NSArray *>(devices) count];
}

Device *device_array_at(DeviceArray *devices, uint64_t index) {
  return handle<Device>(
      [reinterpret_cast<NSArray *>(devices) objectAtIndexedSubscript:static_cast<NSUInteger>(index)]);
}

const char *device_name(Device *device) {
  const char *name = [[device_of(device) name] UTF8String];
  return name ? name : "";
}

CommandQueue *device_new_command_queue(Device *device) {
  return handle<CommandQueue>([device_of(device) newCommandQueue]);
}

Library *device_new_library(Device *device, const void *bytes, size_t length) {
  // The bytes live in the library's read-only data for the whole process.
  dispatch_data_t data = dispatch_data_create(bytes, length, dispatch_get_main_queue(),
                                              DISPATCH_DATA_DESTRUCTOR_DEFAULT);
  if (!data) return nullptr;
  NSError *error = nil;
  id<MTLLibrary> library = [device_of(device) newLibraryWithData:data error:&error];
  dispatch_release(data);
  return handle<Library>(library);
}

Function *library_new_function(Library *library, const char *name) {
  NSString *text = [NSString stringWithUTF8String:name];
  if (!text) return nullptr;
  return handle<Function>(
      [reinterpret_cast<id<MTLLibrary>>(library) newFunctionWithName:text]);
}

Pipeline *device_new_compute_pipeline(Device *device, Function *function) {
  NSError *error = nil;
  return handle<Pipeline>([device_of(device)
      newComputePipelineStateWithFunction:reinterpret_cast<id<MTLFunction>>(function)
                                    error:&error]);
}

uint64_t pipeline_thread_execution_width(Pipeline *pipeline) {
  return [pipeline_of(pipeline) threadExecutionWidth];
}

uint64_t pipeline_max_total_threads_per_threadgroup(Pipeline *pipeline) {
  return [pipeline_of(pipeline) maxTotalThreadsPerThreadgroup];
}

Buffer *device_new_buffer(Device *device, size_t length) {
  // Options 0: shared storage, default cache mode; contents are host memory.
  return handle<Buffer>([device_of(device) newBufferWithLength:length options:0]);
}

void *buffer_contents(Buffer *buffer) { return [buffer_of(buffer) contents]; }

CommandBuffer *queue_command_buffer(CommandQueue *queue) {
  return retained<CommandBuffer>([reinterpret_cast<id<MTLCommandQueue>>(queue) commandBuffer]);
}

void command_buffer_set_label(CommandBuffer *buffer, const char *label) {
  [commands_of(buffer) setLabel:[NSString stringWithCString:label encoding:NSASCIIStringEncoding]];
}

void command_buffer_commit(CommandBuffer *buffer) { [commands_of(buffer) commit]; }

void command_buffer_wait_until_completed(CommandBuffer *buffer) {
  [commands_of(buffer) waitUntilCompleted];
}

ComputeEncoder *command_buffer_compute_encoder(CommandBuffer *buffer) {
  return retained<ComputeEncoder>([commands_of(buffer) computeCommandEncoder]);
}

BlitEncoder *command_buffer_blit_encoder(CommandBuffer *buffer) {
  return retained<BlitEncoder>([commands_of(buffer) blitCommandEncoder]);
}

void compute_set_pipeline(ComputeEncoder *encoder, Pipeline *pipeline) {
  [compute_of(encoder) setComputePipelineState:pipeline_of(pipeline)];
}

void compute_set_buffer(ComputeEncoder *encoder, Buffer *buffer, size_t offset, uint32_t index) {
  [compute_of(encoder) setBuffer:buffer_of(buffer) offset:offset atIndex:index];
}

void compute_set_bytes(ComputeEncoder *encoder, const void *bytes, size_t length,
                       uint32_t index) {
  [compute_of(encoder) setBytes:bytes length:length atIndex:index];
}

void compute_dispatch_threads(ComputeEncoder *encoder, Size grid, Size threadgroup) {
  [compute_of(encoder) dispatchThreads:size_of(grid) threadsPerThreadgroup:size_of(threadgroup)];
}

void compute_dispatch_threadgroups(ComputeEncoder *encoder, Size groups, Size threadgroup) {
  [compute_of(encoder) dispatchThreadgroups:size_of(groups)
                      threadsPerThreadgroup:size_of(threadgroup)];
}

void compute_end_encoding(ComputeEncoder *encoder) { [compute_of(encoder) endEncoding]; }

void blit_copy(BlitEncoder *encoder, Buffer *source, size_t source_offset, Buffer *destination,
               size_t destination_offset, size_t size) {
  [blit_of(encoder) copyFromBuffer:buffer_of(source)
                      sourceOffset:source_offset
                          toBuffer:buffer_of(destination)
                 destinationOffset:destination_offset
                              size:size];
}

void blit_fill(BlitEncoder *encoder, Buffer *buffer, size_t offset, size_t length, uint8_t value) {
  [blit_of(encoder) fillBuffer:buffer_of(buffer) range:NSMakeRange(offset, length) value:value];
}

void blit_end_encoding(BlitEncoder *encoder) { [blit_of(encoder) endEncoding]; }

}  // namespace mtl
}  // namespace qx
