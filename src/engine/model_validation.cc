// The shape rules the feature extractor and the classifier rely on. They run
// without checks of their own, so every size they derive from the records
// must be consistent here: the feature tensor (frames x I0 floats, the first
// frames x B written), each level's rows of H values feeding the next level,
// the pooled vector of P, the embedding of E and the output layer's K inputs.
#include <cmath>

#include "engine/model.h"
#include "engine/model_format.h"

namespace qx {
namespace {

const char *feature_defect(const FeatureSettings &settings) {
  if (settings.window_length != model_format::kWindowLength) return "window_length is not 512";
  if (settings.hop_length < 1 || settings.hop_length > model_format::kMaxHopLength) {
    return "hop_length is outside 1 to 32768";
  }
  if (settings.num_mel_bands < 1 || settings.num_mel_bands > model_format::kMaxMelBands) {
    return "num_mel_bands is outside 1 to 40";
  }
  for (int32_t b = 0; b < settings.num_mel_bands; ++b) {
    const float std_dev = settings.feature_std[b];
    if (std_dev == 0.0f || !std::isfinite(std_dev)) return "a feature_std entry is zero or not finite";
  }
  return nullptr;
}

// Both directions of every level: level 0 reads rows of I0 feature values,
// level l + 1 reads the rows of H values that level l wrote.
const char *level_defect(const RecurrentStack &stack, int32_t bands) {
  int32_t rows_of = 0;  // values per row leaving the previous level
  for (int32_t level = 0; level < stack.num_layers; ++level) {
    const RecurrentLayer &forward = stack.forward_layers[level];
    const RecurrentLayer &backward = stack.backward_layers[level];
    if (forward.hidden_size != backward.hidden_size ||
        forward.input_size != backward.input_size) {
      return "forward and backward layers of a level differ in size";
    }
    if (forward.hidden_size < 1) return "a hidden_size is below 1";
    if (level == 0) {
      if (forward.input_size < bands || forward.input_size > 2 * static_cast<int64_t>(bands)) {
        return "level 0 input_size is outside num_mel_bands to twice that";
      }
    } else if (forward.input_size != rows_of) {
      return "a level's input_size is not the previous hidden_size";
    }
    rows_of = forward.hidden_size;
  }
  return nullptr;
}

}  // namespace

const char *model_defect(const ModelRecords &records) {
  if (!records.feature_settings || !records.output_layer || !records.recurrent_stack) {
    return "the model is incomplete";
  }
  const FeatureSettings &settings = *records.feature_settings;
  const OutputLayer &output = *records.output_layer;
  const RecurrentStack &stack = *records.recurrent_stack;

  if (const char *defect = feature_defect(settings)) return defect;
  if (output.num_languages != model_format::kNumLanguages) return "num_languages is not 9";
  // No levels means nothing to pool.
  if (stack.num_layers < 1) return "num_layers is below 1";
  if (const char *defect = level_defect(stack, settings.num_mel_bands)) return defect;
  const int32_t last_hidden = stack.forward_layers[stack.num_layers - 1].hidden_size;
  if (stack.pooled_size != last_hidden) return "pooled_size is not the last hidden_size";
  if (stack.has_projection == 0 && stack.embedding_size != stack.pooled_size) {
    return "embedding_size differs from pooled_size without a projection";
  }
  if (stack.embedding_size < 1) return "embedding_size is below 1";
  if (output.input_size != stack.embedding_size) {
    return "the output layer's input_size is not embedding_size";
  }
  return nullptr;
}

}  // namespace qx
