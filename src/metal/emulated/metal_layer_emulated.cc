// The Metal layer on the host: objects are records with Metal's retain
// counts, command buffers are lists of recorded commands that run, in commit
// order, when one of them is waited for. Stands in for the system framework,
// so, like it, it allocates from the C++ heap and not from the library's
// allocator (whose failures the tests inject into the library itself).
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "metal/emulated/emulated_arguments.h"
#include "metal/emulated/metal_emulator.h"
#include "metal/metal_layer.h"
#include "metal/shader_library.h"

namespace qx {
namespace mtl {

// Every emulated object. Records are kept after their last release (their
// memory freed) so that a later use is reported instead of crashing.
struct Object {
  explicit Object(const char *kind) : kind(kind) {}
  virtual ~Object() = default;
  virtual void on_destroy() {}
  const char *kind;
  int64_t references = 1;
  bool alive() const { return references > 0; }
};

struct Device : Object {
  Device() : Object("device") {}
  std::string name;
};

struct DeviceArray : Object {
  DeviceArray() : Object("device array") {}
  std::vector<Device *> devices;
  void on_destroy() override;
};

struct Buffer : Object {
  Buffer() : Object("buffer") {}
  std::vector<uint64_t> storage;  // 8-byte aligned contents
  size_t length = 0;
  unsigned char *bytes() { return reinterpret_cast<unsigned char *>(storage.data()); }
  void on_destroy() override { std::vector<uint64_t>().swap(storage); }
};

struct Library : Object {
  Library() : Object("library") {}
};

struct Function : Object {
  Function() : Object("function") {}
  const emulator::KernelEntry *kernel = nullptr;
};

struct Pipeline : Object {
  Pipeline() : Object("pipeline") {}
  const emulator::KernelEntry *kernel = nullptr;
  uint64_t execution_width = 0;
  uint64_t max_total_threads = 0;
};

// One recorded command with everything it needs to run later.
struct Command {
  enum Type { kDispatch, kCopy, kFill } type;
  // Dispatch.
  Pipeline *pipeline = nullptr;
  Buffer *buffers[emulator::kMaxBufferBindings] = {};
  size_t offsets[emulator::kMaxBufferBindings] = {};
  std::vector<unsigned char> bytes[emulator::kMaxBufferBindings];
  emulator::BindingKind kinds[emulator::kMaxBufferBindings] = {};
  Size groups{}, threadgroup{};
  Size grid{};  // threads dispatched (dispatchThreads), else groups * threadgroup
  // Blits.
  Buffer *source = nullptr, *destination = nullptr;
  size_t source_offset = 0, destination_offset = 0, size = 0;
  uint8_t value = 0;
};

struct CommandQueue;

struct CommandBuffer : Object {
  CommandBuffer() : Object("command buffer") {}
  enum State { kRecording, kCommitted, kCompleted } state = kRecording;
  CommandQueue *queue = nullptr;
  std::string label;
  std::vector<Command> commands;
  std::vector<Object *> retained;  // what the commands use, as Metal keeps it
  Object *open_encoder = nullptr;
  int64_t encoders_ended = 0;
  void on_destroy() override;
};

struct CommandQueue : Object {
  CommandQueue() : Object("command queue") {}
  std::deque<CommandBuffer *> pending;  // committed, retained, not yet run
  void on_destroy() override;
};

struct ComputeEncoder : Object {
  ComputeEncoder() : Object("compute encoder") {}
  CommandBuffer *owner = nullptr;
  bool ended = false;
  Pipeline *pipeline = nullptr;
  emulator::BindingKind kinds[emulator::kMaxBufferBindings] = {};
  Buffer *buffers[emulator::kMaxBufferBindings] = {};
  size_t offsets[emulator::kMaxBufferBindings] = {};
  std::vector<unsigned char> bytes[emulator::kMaxBufferBindings];
};

struct BlitEncoder : Object {
  BlitEncoder() : Object("blit encoder") {}
  CommandBuffer *owner = nullptr;
  bool ended = false;
};

namespace {

constexpr char kLibraryMagic[4] = {'E', 'M', 'T', 'L'};

struct FailureRule {
  int skip = -1;  // calls to let through before failing; -1: off
  bool persistent = false;
};

struct State {
  std::vector<std::unique_ptr<Object>> objects;
  std::vector<std::string> device_names{"Emulated GPU"};
  uint64_t execution_width = 32;
  uint64_t max_total_threads = 1024;
  FailureRule rules[static_cast<int>(emulator::Step::kStepCount)];
  std::vector<std::string> violations;
  emulator::Counters counters{};
};

State &emu() {
  static State *instance = new State();  // lives for the process: handles outlive tests
  return *instance;
}

void violation(const char *format, ...) {
  char text[256];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof(text), format, arguments);
  va_end(arguments);
  emu().violations.emplace_back(text);
}

bool should_fail(emulator::Step step) {
  FailureRule &rule = emu().rules[static_cast<int>(step)];
  if (rule.skip < 0) return false;
  if (rule.skip > 0) {
    --rule.skip;
    return false;
  }
  if (!rule.persistent) rule.skip = -1;
  return true;
}

template <typename T>
T *make() {
  T *object = new T();
  emu().objects.emplace_back(object);
  ++emu().counters.live_objects;
  return object;
}

void retain(Object *object) { ++object->references; }

// False (with a violation) when `object` is null or already released.
bool usable(const Object *object, const char *call) {
  if (!object) {
    violation("%s: null object", call);
    return false;
  }
  if (!object->alive()) {
    violation("%s: %s used after its last release", call, object->kind);
    return false;
  }
  return true;
}

uint64_t product(Size size) { return size.width * size.height * size.depth; }

void run_dispatch(const Command &command) {
  emulator::Binding bindings[emulator::kMaxBufferBindings] = {};
  for (int i = 0; i < emulator::kMaxBufferBindings; ++i) {
    bindings[i].kind = command.kinds[i];
    if (command.kinds[i] == emulator::BindingKind::kBuffer) {
      Buffer *buffer = command.buffers[i];
      bindings[i].address = buffer->bytes() + command.offsets[i];
      bindings[i].length = buffer->length - command.offsets[i];
    } else if (command.kinds[i] == emulator::BindingKind::kBytes) {
      bindings[i].address = const_cast<unsigned char *>(command.bytes[i].data());
      bindings[i].length = command.bytes[i].size();
    }
  }
  const emulator::KernelEntry *kernel = command.pipeline->kernel;
  emulator::Invocation invocation{bindings, {}, {}, {}};
  const Size t = command.threadgroup;
  for (uint64_t z = 0; z < command.grid.depth; ++z) {
    for (uint64_t y = 0; y < command.grid.height; ++y) {
      for (uint64_t x = 0; x < command.grid.width; ++x) {
        invocation.thread_in_grid = {static_cast<uint32_t>(x), static_cast<uint32_t>(y),
                                     static_cast<uint32_t>(z)};
        invocation.group_in_grid = {static_cast<uint32_t>(x / t.width),
                                    static_cast<uint32_t>(y / t.height),
                                    static_cast<uint32_t>(z / t.depth)};
        invocation.thread_in_group = {static_cast<uint32_t>(x % t.width),
                                      static_cast<uint32_t>(y % t.height),
                                      static_cast<uint32_t>(z % t.depth)};
        kernel->run(kernel->function, invocation);
      }
    }
  }
}

void run_command(const Command &command) {
  switch (command.type) {
    case Command::kDispatch:
      run_dispatch(command);
      break;
    case Command::kCopy:
      std::memmove(command.destination->bytes() + command.destination_offset,
                   command.source->bytes() + command.source_offset, command.size);
      break;
    case Command::kFill:
      std::memset(command.destination->bytes() + command.destination_offset, command.value,
                  command.size);
      break;
  }
}

void drop(Object *object);

// Runs the queue's committed buffers in order, up to and including `last`
// (all of them for null).
void execute_until(CommandQueue *queue, CommandBuffer *last) {
  while (!queue->pending.empty()) {
    CommandBuffer *buffer = queue->pending.front();
    queue->pending.pop_front();
    for (const Command &command : buffer->commands) run_command(command);
    buffer->state = CommandBuffer::kCompleted;
    ++emu().counters.command_buffers_executed;
    --emu().counters.command_buffers_pending;
    drop(buffer);  // the queue's retain
    if (buffer == last) return;
  }
}

void drop(Object *object) {
  if (!object) return;
  if (!object->alive()) {
    violation("release: %s released more often than retained", object->kind);
    return;
  }
  if (--object->references == 0) {
    --emu().counters.live_objects;
    object->on_destroy();
  }
}

// The encoder that `buffer` may open now, or a violation.
bool may_open_encoder(CommandBuffer *buffer, const char *call) {
  if (!usable(buffer, call)) return false;
  if (buffer->state != CommandBuffer::kRecording) {
    violation("%s: command buffer already committed", call);
    return false;
  }
  if (buffer->open_encoder) {
    violation("%s: another encoder of this command buffer is still open", call);
    return false;
  }
  return true;
}

void end_encoder(CommandBuffer *owner, Object *encoder) {
  if (owner->open_encoder == encoder) owner->open_encoder = nullptr;
  if (owner->state != CommandBuffer::kRecording) return;  // reported at its commit
  ++owner->encoders_ended;
  ++emu().counters.encoders_uncommitted;
}

void keep(CommandBuffer *owner, Object *object) {
  retain(object);
  owner->retained.push_back(object);
}

bool blit_range_ok(const char *call, Buffer *buffer, size_t offset, size_t size) {
  if (!usable(buffer, call)) return false;
  if (offset % 4 != 0 || size % 4 != 0) {
    violation("%s: offset %zu or size %zu is not a multiple of 4", call, offset, size);
    return false;
  }
  if (offset > buffer->length || size > buffer->length - offset) {
    violation("%s: range %zu + %zu beyond a buffer of %zu bytes", call, offset, size,
              buffer->length);
    return false;
  }
  return true;
}

// The dispatch checks Metal's validation makes; true when it may be recorded.
bool dispatch_ok(ComputeEncoder *encoder, Size grid, Size threadgroup, const char *call) {
  if (!usable(encoder, call)) return false;
  if (encoder->ended) {
    violation("%s: encoder already ended", call);
    return false;
  }
  Pipeline *pipeline = encoder->pipeline;
  if (!pipeline || !pipeline->alive()) {
    violation("%s: no live compute pipeline set", call);
    return false;
  }
  if (product(grid) == 0) {
    violation("%s: empty grid %" PRIu64 "x%" PRIu64 "x%" PRIu64, call, grid.width, grid.height,
              grid.depth);
    return false;
  }
  if (product(threadgroup) == 0 || product(threadgroup) > pipeline->max_total_threads) {
    violation("%s: threadgroup %" PRIu64 "x%" PRIu64 "x%" PRIu64
              " outside 1 ... %" PRIu64 " threads of %s",
              call, threadgroup.width, threadgroup.height, threadgroup.depth,
              pipeline->max_total_threads, pipeline->kernel->name);
    return false;
  }
  bool ok = true;
  const emulator::KernelEntry *kernel = pipeline->kernel;
  for (int i = 0; i < kernel->argument_count; ++i) {
    const emulator::ArgumentSpec &argument = kernel->arguments[i];
    if (argument.kind == emulator::ArgumentKind::kPosition) continue;
    const int index = argument.index;
    const emulator::BindingKind bound = encoder->kinds[index];
    if (argument.kind == emulator::ArgumentKind::kBuffer) {
      if (bound != emulator::BindingKind::kBuffer) {
        violation("%s: %s expects a buffer at index %d", call, kernel->name, index);
        ok = false;
      } else if (!encoder->buffers[index]->alive()) {
        violation("%s: buffer at index %d used after its last release", call, index);
        ok = false;
      }
    } else if (bound != emulator::BindingKind::kBytes ||
               encoder->bytes[index].size() < argument.value_bytes) {
      violation("%s: %s expects %zu bytes at index %d", call, kernel->name, argument.value_bytes,
                index);
      ok = false;
    }
  }
  return ok;
}

void record_dispatch(ComputeEncoder *encoder, Size grid, Size threadgroup, Size groups) {
  Command command{};
  command.type = Command::kDispatch;
  command.pipeline = encoder->pipeline;
  keep(encoder->owner, encoder->pipeline);
  for (int i = 0; i < emulator::kMaxBufferBindings; ++i) {
    command.kinds[i] = encoder->kinds[i];
    if (encoder->kinds[i] == emulator::BindingKind::kBuffer) {
      command.buffers[i] = encoder->buffers[i];
      command.offsets[i] = encoder->offsets[i];
      keep(encoder->owner, encoder->buffers[i]);
    } else if (encoder->kinds[i] == emulator::BindingKind::kBytes) {
      command.bytes[i] = encoder->bytes[i];
    }
  }
  command.grid = grid;
  command.threadgroup = threadgroup;
  command.groups = groups;
  encoder->owner->commands.push_back(std::move(command));
  ++emu().counters.dispatches;
}

}  // namespace

void DeviceArray::on_destroy() {
  for (Device *device : devices) drop(device);
  devices.clear();
}

void CommandBuffer::on_destroy() {
  if (state == kRecording) emu().counters.encoders_uncommitted -= encoders_ended;
  for (Object *object : retained) drop(object);
  retained.clear();
  commands.clear();
}

void CommandQueue::on_destroy() {
  // The GPU finishes what was committed even when nobody waits for it.
  execute_until(this, nullptr);
}

// ---- The layer -----------------------------------------------------------------

void release_object(void *object) {
  // Every handle the layer hands out is an Object.
  drop(static_cast<Object *>(object));
}

void *autorelease_pool_push() { return nullptr; }
void autorelease_pool_pop(void *) {}

Device *create_system_default_device() {
  if (should_fail(emulator::Step::kDefaultDevice) || emu().device_names.empty()) return nullptr;
  Device *device = make<Device>();
  device->name = emu().device_names[0];
  return device;
}

DeviceArray *copy_all_devices() {
  DeviceArray *array = make<DeviceArray>();
  for (const std::string &name : emu().device_names) {
    Device *device = make<Device>();
    device->name = name;
    array->devices.push_back(device);
  }
  return array;
}

uint64_t device_array_count(DeviceArray *devices) {
  return usable(devices, "count") ? devices->devices.size() : 0;
}

Device *device_array_at(DeviceArray *devices, uint64_t index) {
  if (!usable(devices, "objectAtIndexedSubscript:")) return nullptr;
  if (index >= devices->devices.size()) {
    violation("objectAtIndexedSubscript: index %" PRIu64 " beyond the array", index);
    return nullptr;
  }
  return devices->devices[index];
}

const char *device_name(Device *device) {
  return usable(device, "name") ? device->name.c_str() : "";
}

CommandQueue *device_new_command_queue(Device *device) {
  if (!usable(device, "newCommandQueue") || should_fail(emulator::Step::kCommandQueue)) {
    return nullptr;
  }
  return make<CommandQueue>();
}

Library *device_new_library(Device *device, const void *bytes, size_t length) {
  if (!usable(device, "newLibraryWithData:error:") || should_fail(emulator::Step::kLibrary)) {
    return nullptr;
  }
  if (!bytes || length < sizeof(kLibraryMagic) ||
      std::memcmp(bytes, kLibraryMagic, sizeof(kLibraryMagic)) != 0) {
    return nullptr;  // not a library this device can load
  }
  return make<Library>();
}

Function *library_new_function(Library *library, const char *name) {
  if (!usable(library, "newFunctionWithName:") || should_fail(emulator::Step::kFunction)) {
    return nullptr;
  }
  const emulator::KernelEntry *kernel = emulator::find_kernel(name);
  if (!kernel) return nullptr;
  Function *function = make<Function>();
  function->kernel = kernel;
  return function;
}

Pipeline *device_new_compute_pipeline(Device *device, Function *function) {
  if (!usable(device, "newComputePipelineStateWithFunction:error:") ||
      !usable(function, "newComputePipelineStateWithFunction:error:") ||
      should_fail(emulator::Step::kPipeline)) {
    return nullptr;
  }
  Pipeline *pipeline = make<Pipeline>();
  pipeline->kernel = function->kernel;
  pipeline->execution_width = emu().execution_width;
  pipeline->max_total_threads = emu().max_total_threads;
  return pipeline;
}

uint64_t pipeline_thread_execution_width(Pipeline *pipeline) {
  return usable(pipeline, "threadExecutionWidth") ? pipeline->execution_width : 0;
}

uint64_t pipeline_max_total_threads_per_threadgroup(Pipeline *pipeline) {
  return usable(pipeline, "maxTotalThreadsPerThreadgroup") ? pipeline->max_total_threads : 0;
}

Buffer *device_new_buffer(Device *device, size_t length) {
  if (!usable(device, "newBufferWithLength:options:") || should_fail(emulator::Step::kBuffer)) {
    return nullptr;
  }
  if (length == 0) return nullptr;  // Metal makes no empty buffers
  Buffer *buffer = make<Buffer>();
  // Fresh GPU memory is not zeroed on every device: fill it with a pattern
  // so that a read before the first write shows.
  buffer->storage.assign((length + 7) / 8, UINT64_C(0xA5A5A5A5A5A5A5A5));
  buffer->length = length;
  return buffer;
}

void *buffer_contents(Buffer *buffer) {
  return usable(buffer, "contents") ? buffer->bytes() : nullptr;
}

CommandBuffer *queue_command_buffer(CommandQueue *queue) {
  if (!usable(queue, "commandBuffer") || should_fail(emulator::Step::kCommandBuffer)) {
    return nullptr;
  }
  CommandBuffer *buffer = make<CommandBuffer>();
  buffer->queue = queue;
  return buffer;
}

void command_buffer_set_label(CommandBuffer *buffer, const char *label) {
  if (usable(buffer, "setLabel:")) buffer->label = label ? label : "";
}

void command_buffer_commit(CommandBuffer *buffer) {
  if (!usable(buffer, "commit")) return;
  if (buffer->state != CommandBuffer::kRecording) {
    violation("commit: command buffer committed twice");
    return;
  }
  if (buffer->open_encoder) violation("commit: an encoder is still open");
  if (!usable(buffer->queue, "commit")) return;
  buffer->state = CommandBuffer::kCommitted;
  emu().counters.encoders_uncommitted -= buffer->encoders_ended;
  ++emu().counters.command_buffers_committed;
  ++emu().counters.command_buffers_pending;
  retain(buffer);  // the queue keeps it until it has run
  buffer->queue->pending.push_back(buffer);
}

void command_buffer_wait_until_completed(CommandBuffer *buffer) {
  if (!usable(buffer, "waitUntilCompleted")) return;
  ++emu().counters.waits;
  if (buffer->state == CommandBuffer::kRecording) {
    violation("waitUntilCompleted: command buffer not committed");  // Metal would hang
    return;
  }
  if (buffer->state == CommandBuffer::kCommitted) execute_until(buffer->queue, buffer);
}

ComputeEncoder *command_buffer_compute_encoder(CommandBuffer *buffer) {
  if (!may_open_encoder(buffer, "computeCommandEncoder") ||
      should_fail(emulator::Step::kComputeEncoder)) {
    return nullptr;
  }
  ComputeEncoder *encoder = make<ComputeEncoder>();
  encoder->owner = buffer;
  buffer->open_encoder = encoder;
  return encoder;
}

BlitEncoder *command_buffer_blit_encoder(CommandBuffer *buffer) {
  if (!may_open_encoder(buffer, "blitCommandEncoder") ||
      should_fail(emulator::Step::kBlitEncoder)) {
    return nullptr;
  }
  BlitEncoder *encoder = make<BlitEncoder>();
  encoder->owner = buffer;
  buffer->open_encoder = encoder;
  return encoder;
}

void compute_set_pipeline(ComputeEncoder *encoder, Pipeline *pipeline) {
  if (!usable(encoder, "setComputePipelineState:") ||
      !usable(pipeline, "setComputePipelineState:")) {
    return;
  }
  encoder->pipeline = pipeline;
}

void compute_set_buffer(ComputeEncoder *encoder, Buffer *buffer, size_t offset, uint32_t index) {
  if (!usable(encoder, "setBuffer:offset:atIndex:") ||
      !usable(buffer, "setBuffer:offset:atIndex:")) {
    return;
  }
  if (index >= emulator::kMaxBufferBindings) {
    violation("setBuffer:offset:atIndex: index %u beyond the argument table", index);
    return;
  }
  if (offset > buffer->length) {
    violation("setBuffer:offset:atIndex: offset %zu beyond a buffer of %zu bytes", offset,
              buffer->length);
    return;
  }
  encoder->kinds[index] = emulator::BindingKind::kBuffer;
  encoder->buffers[index] = buffer;
  encoder->offsets[index] = offset;
}

void compute_set_bytes(ComputeEncoder *encoder, const void *bytes, size_t length,
                       uint32_t index) {
  if (!usable(encoder, "setBytes:length:atIndex:")) return;
  if (index >= emulator::kMaxBufferBindings) {
    violation("setBytes:length:atIndex: index %u beyond the argument table", index);
    return;
  }
  const auto *first = static_cast<const unsigned char *>(bytes);
  encoder->kinds[index] = emulator::BindingKind::kBytes;
  encoder->bytes[index].assign(first, first + length);
}

void compute_dispatch_threads(ComputeEncoder *encoder, Size grid, Size threadgroup) {
  if (!dispatch_ok(encoder, grid, threadgroup, "dispatchThreads:threadsPerThreadgroup:")) return;
  const Size groups{(grid.width + threadgroup.width - 1) / threadgroup.width,
                    (grid.height + threadgroup.height - 1) / threadgroup.height,
                    (grid.depth + threadgroup.depth - 1) / threadgroup.depth};
  record_dispatch(encoder, grid, threadgroup, groups);
}

void compute_dispatch_threadgroups(ComputeEncoder *encoder, Size groups, Size threadgroup) {
  const Size grid{groups.width * threadgroup.width, groups.height * threadgroup.height,
                  groups.depth * threadgroup.depth};
  if (!dispatch_ok(encoder, grid, threadgroup, "dispatchThreadgroups:threadsPerThreadgroup:")) {
    return;
  }
  record_dispatch(encoder, grid, threadgroup, groups);
}

void compute_end_encoding(ComputeEncoder *encoder) {
  if (!usable(encoder, "endEncoding")) return;
  if (encoder->ended) {
    violation("endEncoding: encoder ended twice");
    return;
  }
  encoder->ended = true;
  if (usable(encoder->owner, "endEncoding")) end_encoder(encoder->owner, encoder);
}

void blit_copy(BlitEncoder *encoder, Buffer *source, size_t source_offset, Buffer *destination,
               size_t destination_offset, size_t size) {
  const char *call = "copyFromBuffer:sourceOffset:toBuffer:destinationOffset:size:";
  if (!usable(encoder, call) || encoder->ended || !blit_range_ok(call, source, source_offset, size) ||
      !blit_range_ok(call, destination, destination_offset, size)) {
    if (encoder && encoder->alive() && encoder->ended) violation("%s: encoder already ended", call);
    return;
  }
  if (source == destination && source_offset < destination_offset + size &&
      destination_offset < source_offset + size) {
    violation("%s: overlapping ranges of one buffer", call);
    return;
  }
  Command command{};
  command.type = Command::kCopy;
  command.source = source;
  command.destination = destination;
  command.source_offset = source_offset;
  command.destination_offset = destination_offset;
  command.size = size;
  keep(encoder->owner, source);
  keep(encoder->owner, destination);
  encoder->owner->commands.push_back(std::move(command));
}

void blit_fill(BlitEncoder *encoder, Buffer *buffer, size_t offset, size_t length,
               uint8_t value) {
  const char *call = "fillBuffer:range:value:";
  if (!usable(encoder, call) || encoder->ended || !blit_range_ok(call, buffer, offset, length)) {
    if (encoder && encoder->alive() && encoder->ended) violation("%s: encoder already ended", call);
    return;
  }
  Command command{};
  command.type = Command::kFill;
  command.destination = buffer;
  command.destination_offset = offset;
  command.size = length;
  command.value = value;
  keep(encoder->owner, buffer);
  encoder->owner->commands.push_back(std::move(command));
}

void blit_end_encoding(BlitEncoder *encoder) {
  if (!usable(encoder, "endEncoding")) return;
  if (encoder->ended) {
    violation("endEncoding: encoder ended twice");
    return;
  }
  encoder->ended = true;
  if (usable(encoder->owner, "endEncoding")) end_encoder(encoder->owner, encoder);
}

// ---- Control -------------------------------------------------------------------

namespace emulator {

void fail_step(Step step, int skip, bool persistent) {
  FailureRule &rule = emu().rules[static_cast<int>(step)];
  rule.skip = skip < 0 ? 0 : skip;
  rule.persistent = persistent;
}

void reset() {
  State &s = emu();
  s.device_names = {"Emulated GPU"};
  s.execution_width = 32;
  s.max_total_threads = 1024;
  for (FailureRule &rule : s.rules) rule = FailureRule{};
  s.violations.clear();
  const int64_t live = s.counters.live_objects;
  const int64_t uncommitted = s.counters.encoders_uncommitted;
  const int64_t pending = s.counters.command_buffers_pending;
  s.counters = Counters{};
  // What still exists keeps being counted.
  s.counters.live_objects = live;
  s.counters.encoders_uncommitted = uncommitted;
  s.counters.command_buffers_pending = pending;
}

void set_device_names(const std::vector<std::string> &names) { emu().device_names = names; }

void set_pipeline_limits(uint64_t thread_execution_width, uint64_t max_total_threads) {
  emu().execution_width = thread_execution_width;
  emu().max_total_threads = max_total_threads;
}

std::vector<std::string> take_violations() {
  std::vector<std::string> taken;
  taken.swap(emu().violations);
  return taken;
}

Counters counters() { return emu().counters; }

}  // namespace emulator

// The embedded shader library of this build: the emulator's marker; the
// kernels themselves are compiled into the library as C++.
const unsigned char kShaderLibrary[] = {'E', 'M', 'T', 'L', 0, 0, 0, 0};
const size_t kShaderLibrarySize = sizeof(kShaderLibrary);

}  // namespace mtl
}  // namespace qx
