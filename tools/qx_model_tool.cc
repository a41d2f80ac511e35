// qx_model_tool: writes ".qx" model files from text descriptions and reads
// them back through the library's own reader.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "devices/device_selection.h"
#include "base/error_stack.h"
#include "engine/model.h"
#include "engine/model_format.h"
#include "model_writer.h"
#include "qx_orb.h"
#include "runtime/device_context.h"

namespace {

constexpr char kUsage[] =
    "usage: qx_model_tool write <description> <out.qx>\n"
    "       qx_model_tool write-default <out.qx>\n"
    "       qx_model_tool read <model.qx>\n"
    "\n"
    "A description holds 'key = value' lines ('#' starts a comment). Shape keys\n"
    "(defaults in brackets) make a consistent model with seeded random weights:\n"
    "  seed [1], hop_length [256], num_mel_bands [40], level0_input_size [2 x bands],\n"
    "  hidden_sizes [96 96] (one per level, both directions), has_projection [0],\n"
    "  embedding_size [last hidden size; with a projection, its output size]\n"
    "Field keys then overwrite what is written, consistent or not:\n"
    "  magic, version, window_length [512], log_floor [1e-6], num_languages [9],\n"
    "  output_input_size, num_layers, norm_epsilon [1e-5], pooled_size,\n"
    "  forward.<level>.hidden_size, forward.<level>.input_size (backward. likewise)\n"
    "Weight keys replace random arrays with lists of exactly the counted length:\n"
    "  feature_mean, feature_std, output_weights (row per language), output_bias,\n"
    "  projection_weights, forward.<level>.weights, forward.<level>.bias (int8)\n";

int write_bytes(const qx_tools::ModelDescription &model, const char *path) {
  const std::vector<uint8_t> bytes = qx_tools::encode(model);
  if (!qx_tools::write_file(path, bytes)) {
    std::fprintf(stderr, "cannot write %s\n", path);
    return 1;
  }
  std::printf("wrote %s (%zu bytes)\n", path, bytes.size());
  return 0;
}

int write_description(const char *description_path, const char *out_path) {
  std::ifstream in(description_path);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", description_path);
    return 1;
  }
  std::stringstream text;
  text << in.rdbuf();
  qx_tools::ModelDescription model;
  std::string error;
  if (!qx_tools::parse_description(text.str(), &model, &error)) {
    std::fprintf(stderr, "%s: %s\n", description_path, error.c_str());
    return 1;
  }
  return write_bytes(model, out_path);
}

// The first bytes as text, non-printable ones escaped.
std::string shown(const unsigned char *bytes, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    char escaped[8];
    if (std::isprint(bytes[i])) {
      text += static_cast<char>(bytes[i]);
    } else {
      std::snprintf(escaped, sizeof(escaped), "\\x%02x", bytes[i]);
      text += escaped;
    }
  }
  return text;
}

void print_header(const char *path) {
  std::FILE *file = std::fopen(path, "rb");
  if (!file) return;
  constexpr size_t kMagic = qx::model_format::kMagicBytes;
  unsigned char head[kMagic + qx::model_format::kVersionBytes] = {};
  const size_t got = std::fread(head, 1, sizeof(head), file);
  std::fseek(file, 0, SEEK_END);
  const long length = std::ftell(file);
  std::fclose(file);
  std::printf("file: %s, %ld bytes\n", path, length);
  std::printf("magic: \"%s\"  version: \"%s\"\n", shown(head, got < kMagic ? got : kMagic).c_str(),
              got > kMagic ? shown(head + kMagic, got - kMagic).c_str() : "");
}

int32_t bytes_of(qx::DeviceContext *context, qx::TensorBuffer *tensor) {
  return tensor ? qx::tensor_size(context, tensor) : 0;
}

void print_records(qx::DeviceContext *context, const qx::ModelRecords &records) {
  if (const qx::FeatureSettings *f = records.feature_settings) {
    std::printf("feature settings: window_length %d, hop_length %d, num_mel_bands %d, log_floor %g\n",
                f->window_length, f->hop_length, f->num_mel_bands, f->log_floor);
    for (int32_t b = 0; b < f->num_mel_bands && b < 4; ++b) {
      std::printf("  band %d: mean %g, std %g\n", b, f->feature_mean[b], f->feature_std[b]);
    }
    if (f->num_mel_bands > 4) std::printf("  ... %d bands\n", f->num_mel_bands);
  }
  if (const qx::OutputLayer *o = records.output_layer) {
    std::printf("output layer: num_languages %d, input_size %d, weights %d bytes, bias %d bytes\n",
                o->num_languages, o->input_size, bytes_of(context, o->weights),
                bytes_of(context, o->bias));
  }
  if (const qx::RecurrentStack *s = records.recurrent_stack) {
    std::printf("recurrent stack: num_layers %d, norm_epsilon %g\n", s->num_layers, s->norm_epsilon);
    for (int32_t l = 0; l < s->num_layers; ++l) {
      for (const qx::RecurrentLayer *layer : {&s->forward_layers[l], &s->backward_layers[l]}) {
        std::printf("  level %d %s: hidden_size %d, input_size %d, weights %d bytes, bias %d bytes\n",
                    l, layer == &s->forward_layers[l] ? "forward " : "backward", layer->hidden_size,
                    layer->input_size, bytes_of(context, layer->weights),
                    bytes_of(context, layer->bias));
      }
    }
    std::printf("embedding_size %d, pooled_size %d, has_projection %d, projection %d bytes\n",
                s->embedding_size, s->pooled_size, s->has_projection,
                bytes_of(context, s->projection_weights));
  }
}

void print_messages() {
  char **stack = nullptr;
  int32_t depth = 0;
  if (qx_get_error_stack(&stack, &depth) != QX_STATUS_SUCCESS) return;
  for (int32_t i = 0; i < depth; ++i) std::printf("  %s\n", stack[i]);
  qx_free_error_stack(stack);
}

int read_model(const char *path) {
  print_header(path);
  qx::DeviceContext *context = nullptr;
  if (qx::open_device("cpu:1", "cpu:1", &context) != QX_STATUS_SUCCESS) {
    std::printf("no CPU device context:\n");
    print_messages();
    return 1;
  }
  qx::error_stack_reset();
  qx::ModelRecords records{};
  const char *defect = nullptr;
  const QxStatus status = qx::model_read(context, path, &records, &defect);
  print_records(context, records);
  if (status == QX_STATUS_SUCCESS) {
    std::printf("result: valid\n");
  } else {
    const char *text = qx_status_to_string(status);
    std::printf("result: status %d (%s)\n", status, text ? text : "?");
    print_messages();
    if (defect) std::printf("  because %s\n", defect);
  }
  qx::model_release(context, &records);
  qx::release_device_context(context);
  return status == QX_STATUS_SUCCESS ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  qx_log_disable();  // messages are printed with the result instead
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "write" && argc == 4) return write_description(argv[2], argv[3]);
  if (command == "write-default" && argc == 3) return write_bytes(qx_tools::default_model(1), argv[2]);
  if (command == "read" && argc == 3) return read_model(argv[2]);
  std::fputs(kUsage, stderr);
  return 2;
}
