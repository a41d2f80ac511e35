// Builds ".qx" model files from an in-memory description: for the model tool
// and for the tests' fixtures.
//
// A description is written exactly as it stands: the counts as given and the
// arrays as held, whether or not they agree. That is what lets tests make
// hostile files; random_model and fill_random_weights make consistent ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qx_tools {

struct LayerDescription {
  int32_t hidden_size = 0;     // H
  int32_t input_size = 0;      // I
  std::vector<int8_t> weights;  // Q7, 3H rows of H + I: gates z, u, o; [h, x] columns
  std::vector<int8_t> bias;     // Q7, 3H
};

struct ModelDescription {
  std::string magic = "orb";      // written as 3 bytes (cut or zero-padded)
  std::string version = "1.0.0";  // written as 5 bytes (cut or zero-padded)
  int32_t window_length = 512;
  int32_t hop_length = 256;
  int32_t num_mel_bands = 40;  // B
  float log_floor = 1e-6f;
  std::vector<float> feature_mean;  // B
  std::vector<float> feature_std;   // B
  int32_t num_languages = 9;        // N
  int32_t output_input_size = 0;    // K
  std::vector<float> output_weights;  // N x K, one row per language
  std::vector<float> output_bias;     // N
  int32_t num_layers = 0;             // L as written; the layer lists are written as held
  float norm_epsilon = 1e-5f;
  std::vector<LayerDescription> forward_layers;
  std::vector<LayerDescription> backward_layers;
  int32_t embedding_size = 0;  // E
  int32_t pooled_size = 0;     // P
  int32_t has_projection = 0;
  std::vector<float> projection_weights;  // E x P, written when has_projection != 0
};

// The shape of a consistent model: level 0 reads `level0_input_size` values
// per row, level l + 1 reads level l's hidden size; E = P = the last hidden
// size unless a projection to `embedding_size` is asked for.
struct ModelShape {
  int32_t hop_length = 256;
  int32_t num_mel_bands = 40;
  int32_t level0_input_size = 80;
  std::vector<int32_t> hidden_sizes{96, 96};
  int32_t has_projection = 0;
  int32_t embedding_size = 0;  // with a projection; 0 = the last hidden size
};

// A consistent model of `shape` with seeded random weights.
ModelDescription random_model(const ModelShape &shape, uint32_t seed);
// random_model of the default shape (ModelShape's defaults).
ModelDescription default_model(uint32_t seed);

// Sizes every array from the description's counts and fills it with seeded
// random values in ranges that keep a random model's scores away from 0 and
// 1: recurrent weights scaled to the fan-in, output weights to K, per-band
// mean and deviation plausible for log10 mel energies. False (nothing
// changed) when a count is negative or an array would exceed 2^26 elements.
bool fill_random_weights(ModelDescription *model, uint32_t seed);

// The bytes of the file.
std::vector<uint8_t> encode(const ModelDescription &model);

// Where each field of encode's output lies, for tests that cut files.
enum class Region {
  kHeader,            // magic, version
  kFeatureSettings,   // the four scalars, feature_mean, feature_std
  kOutputCounts,      // num_languages, input_size
  kOutputData,        // output weights, bias
  kStackCounts,       // num_layers, norm_epsilon
  kLayerSizes,        // a layer record's hidden_size, input_size
  kLayerData,         // a layer record's weights, bias
  kProjectionFields,  // embedding_size, pooled_size, has_projection
  kProjectionData,    // projection weights
};
struct Field {
  std::string name;  // e.g. "backward[1].weights"
  Region region;
  size_t begin;  // byte offset
  size_t end;    // one past the last byte
};
std::vector<Field> layout(const ModelDescription &model);

// Reads a text description (see qx_model_tool's usage) into *model. False
// with a one-line reason in *error.
bool parse_description(const std::string &text, ModelDescription *model, std::string *error);

bool write_file(const std::string &path, const std::vector<uint8_t> &bytes);

}  // namespace qx_tools
