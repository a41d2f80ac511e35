#include "model_writer.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

namespace qx_tools {
namespace {

// splitmix64: the same stream on every platform and standard library, so a
// seed names one model everywhere.
class Random {
 public:
  explicit Random(uint32_t seed) : state_(0x5DEECE66Dull ^ seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [low, high).
  double uniform(double low, double high) {
    return low + (high - low) * static_cast<double>(next() >> 11) * 0x1.0p-53;
  }
  // Uniform over the integers low .. high.
  int8_t int8_in(int low, int high) {
    return static_cast<int8_t>(low + static_cast<int>(next() % static_cast<uint64_t>(high - low + 1)));
  }

 private:
  uint64_t state_;
};

constexpr int64_t kMaxElements = int64_t{1} << 26;

// count1 x count2 x count3 when every count is non-negative and the product
// stays within kMaxElements; -1 otherwise.
int64_t element_count(int64_t count1, int64_t count2 = 1, int64_t count3 = 1) {
  if (count1 < 0 || count2 < 0 || count3 < 0) return -1;
  int64_t product = 1;
  for (const int64_t count : {count1, count2, count3}) {
    if (count != 0 && product > kMaxElements / count) return -1;
    product *= count;
  }
  return product;
}

void fill_floats(std::vector<float> *values, int64_t count, double low, double high,
                 Random *random) {
  values->resize(static_cast<size_t>(count));
  for (float &value : *values) value = static_cast<float>(random->uniform(low, high));
}

// The layer's sizes have been checked by the caller.
void fill_layer(LayerDescription *layer, Random *random) {
  const int64_t hidden = layer->hidden_size, input = layer->input_size;
  const int64_t weights = element_count(3, hidden, hidden + input);
  // Rows of H + I Q7 weights over unit-scale inputs: a bound of
  // 128 sqrt(3 / fan-in) keeps the gate inputs near unit variance, so the
  // gates neither saturate nor vanish.
  const double fan_in = static_cast<double>(std::max<int64_t>(1, hidden + input));
  const int limit = static_cast<int>(std::lround(std::min(127.0, std::max(1.0, 128.0 * std::sqrt(3.0 / fan_in)))));
  layer->weights.resize(static_cast<size_t>(weights));
  for (int8_t &w : layer->weights) w = random->int8_in(-limit, limit);
  layer->bias.resize(static_cast<size_t>(3 * hidden));
  for (int8_t &b : layer->bias) b = random->int8_in(-8, 8);
}

// ---- Encoding ------------------------------------------------------------------

class Encoder {
 public:
  Encoder(std::vector<uint8_t> *bytes, std::vector<Field> *fields) : bytes_(bytes), fields_(fields) {}

  void text(const std::string &name, Region region, const std::string &value, size_t width) {
    const size_t begin = bytes_->size();
    for (size_t i = 0; i < width; ++i) {
      bytes_->push_back(i < value.size() ? static_cast<uint8_t>(value[i]) : 0);
    }
    mark(name, region, begin);
  }
  void i32(const std::string &name, Region region, int32_t value) {
    const size_t begin = bytes_->size();
    put32(static_cast<uint32_t>(value));
    mark(name, region, begin);
  }
  void f32(const std::string &name, Region region, float value) { floats(name, region, {value}); }
  void floats(const std::string &name, Region region, const std::vector<float> &values) {
    const size_t begin = bytes_->size();
    for (const float value : values) {
      uint32_t bits;
      std::memcpy(&bits, &value, sizeof(bits));
      put32(bits);
    }
    mark(name, region, begin);
  }
  void int8s(const std::string &name, Region region, const std::vector<int8_t> &values) {
    const size_t begin = bytes_->size();
    for (const int8_t value : values) bytes_->push_back(static_cast<uint8_t>(value));
    mark(name, region, begin);
  }

 private:
  void put32(uint32_t bits) {
    for (int shift = 0; shift < 32; shift += 8) bytes_->push_back(static_cast<uint8_t>(bits >> shift));
  }
  void mark(const std::string &name, Region region, size_t begin) {
    if (fields_) fields_->push_back({name, region, begin, bytes_->size()});
  }

  std::vector<uint8_t> *bytes_;
  std::vector<Field> *fields_;
};

void encode_layer(Encoder *out, const std::string &name, const LayerDescription &layer) {
  out->i32(name + ".hidden_size", Region::kLayerSizes, layer.hidden_size);
  out->i32(name + ".input_size", Region::kLayerSizes, layer.input_size);
  out->int8s(name + ".weights", Region::kLayerData, layer.weights);
  out->int8s(name + ".bias", Region::kLayerData, layer.bias);
}

void encode_into(const ModelDescription &model, std::vector<uint8_t> *bytes,
                 std::vector<Field> *fields) {
  Encoder out(bytes, fields);
  out.text("magic", Region::kHeader, model.magic, 3);
  out.text("version", Region::kHeader, model.version, 5);
  out.i32("window_length", Region::kFeatureSettings, model.window_length);
  out.i32("hop_length", Region::kFeatureSettings, model.hop_length);
  out.i32("num_mel_bands", Region::kFeatureSettings, model.num_mel_bands);
  out.f32("log_floor", Region::kFeatureSettings, model.log_floor);
  out.floats("feature_mean", Region::kFeatureSettings, model.feature_mean);
  out.floats("feature_std", Region::kFeatureSettings, model.feature_std);
  out.i32("num_languages", Region::kOutputCounts, model.num_languages);
  out.i32("input_size", Region::kOutputCounts, model.output_input_size);
  out.floats("output_weights", Region::kOutputData, model.output_weights);
  out.floats("output_bias", Region::kOutputData, model.output_bias);
  out.i32("num_layers", Region::kStackCounts, model.num_layers);
  out.f32("norm_epsilon", Region::kStackCounts, model.norm_epsilon);
  for (size_t i = 0; i < model.forward_layers.size(); ++i) {
    encode_layer(&out, "forward[" + std::to_string(i) + "]", model.forward_layers[i]);
  }
  for (size_t i = 0; i < model.backward_layers.size(); ++i) {
    encode_layer(&out, "backward[" + std::to_string(i) + "]", model.backward_layers[i]);
  }
  out.i32("embedding_size", Region::kProjectionFields, model.embedding_size);
  out.i32("pooled_size", Region::kProjectionFields, model.pooled_size);
  out.i32("has_projection", Region::kProjectionFields, model.has_projection);
  if (model.has_projection != 0) {
    out.floats("projection_weights", Region::kProjectionData, model.projection_weights);
  }
}

// ---- Text descriptions ------------------------------------------------------------

std::string trim(const std::string &text) {
  const size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

bool parse_int(const std::string &text, int32_t *value) {
  errno = 0;
  char *end = nullptr;
  const long long parsed = std::strtoll(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0' || parsed < INT32_MIN ||
      parsed > INT32_MAX) {
    return false;
  }
  *value = static_cast<int32_t>(parsed);
  return true;
}

bool parse_float(const std::string &text, float *value) {
  char *end = nullptr;
  const float parsed = std::strtof(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0') return false;
  *value = parsed;
  return true;
}

// Whitespace- or comma-separated items.
std::vector<std::string> items(const std::string &text) {
  std::string spaced = text;
  for (char &c : spaced) {
    if (c == ',') c = ' ';
  }
  std::istringstream stream(spaced);
  std::vector<std::string> list;
  for (std::string item; stream >> item;) list.push_back(item);
  return list;
}

class DescriptionParser {
 public:
  explicit DescriptionParser(std::string *error) : error_(error) {}

  bool load(const std::string &text) {
    std::istringstream stream(text);
    int number = 0;
    for (std::string raw; std::getline(stream, raw);) {
      ++number;
      const std::string content = trim(raw.substr(0, raw.find('#')));
      if (content.empty()) continue;
      const size_t equals = content.find('=');
      if (equals == std::string::npos) return fail("line " + std::to_string(number) + ": no '='");
      const std::string key = trim(content.substr(0, equals));
      if (key.empty()) return fail("line " + std::to_string(number) + ": no key");
      if (!values_.emplace(key, trim(content.substr(equals + 1))).second) {
        return fail("line " + std::to_string(number) + ": " + key + " given twice");
      }
    }
    return true;
  }

  bool build(ModelDescription *model) {
    ModelShape shape;
    int32_t seed = 1;
    if (!integer("hop_length", &shape.hop_length) ||
        !integer("num_mel_bands", &shape.num_mel_bands) ||
        !integer("has_projection", &shape.has_projection) || !integer("seed", &seed)) {
      return false;
    }
    shape.level0_input_size = 2 * shape.num_mel_bands;
    if (!integer("level0_input_size", &shape.level0_input_size)) return false;
    if (has("hidden_sizes")) {
      shape.hidden_sizes.clear();
      for (const std::string &item : items(take("hidden_sizes"))) {
        int32_t size;
        if (!parse_int(item, &size)) return fail("hidden_sizes: bad value " + item);
        shape.hidden_sizes.push_back(size);
      }
    }
    if (!integer("embedding_size", &shape.embedding_size)) return false;
    ModelDescription made = random_model(shape, static_cast<uint32_t>(seed));

    // Counts written as given, whatever the shape says.
    if (!integer("window_length", &made.window_length) ||
        !real("log_floor", &made.log_floor) ||
        !integer("num_languages", &made.num_languages) ||
        !integer("output_input_size", &made.output_input_size) ||
        !integer("num_layers", &made.num_layers) || !real("norm_epsilon", &made.norm_epsilon) ||
        !integer("pooled_size", &made.pooled_size)) {
      return false;
    }
    for (auto *layers : {&made.forward_layers, &made.backward_layers}) {
      const std::string direction = layers == &made.forward_layers ? "forward" : "backward";
      for (size_t l = 0; l < layers->size(); ++l) {
        const std::string prefix = direction + "." + std::to_string(l) + ".";
        LayerDescription &layer = (*layers)[l];
        if (!integer(prefix + "hidden_size", &layer.hidden_size) ||
            !integer(prefix + "input_size", &layer.input_size)) {
          return false;
        }
      }
    }
    if (!fill_random_weights(&made, static_cast<uint32_t>(seed))) {
      return fail("a count is negative or too large for random weights");
    }

    // Explicit arrays replace the random ones and must match the counts.
    if (!floats("feature_mean", &made.feature_mean) || !floats("feature_std", &made.feature_std) ||
        !floats("output_weights", &made.output_weights) ||
        !floats("output_bias", &made.output_bias) ||
        !floats("projection_weights", &made.projection_weights)) {
      return false;
    }
    for (auto *layers : {&made.forward_layers, &made.backward_layers}) {
      const std::string direction = layers == &made.forward_layers ? "forward" : "backward";
      for (size_t l = 0; l < layers->size(); ++l) {
        const std::string prefix = direction + "." + std::to_string(l) + ".";
        if (!int8s(prefix + "weights", &(*layers)[l].weights) ||
            !int8s(prefix + "bias", &(*layers)[l].bias)) {
          return false;
        }
      }
    }
    if (has("magic")) made.magic = take("magic");
    if (has("version")) made.version = take("version");
    if (!values_.empty()) return fail("unknown key " + values_.begin()->first);
    *model = std::move(made);
    return true;
  }

 private:
  bool fail(const std::string &reason) {
    *error_ = reason;
    return false;
  }
  bool has(const std::string &key) const { return values_.count(key) != 0; }
  std::string take(const std::string &key) {
    const std::string value = values_.at(key);
    values_.erase(key);
    return value;
  }
  // Each of these leaves *value alone when the key is absent.
  bool integer(const std::string &key, int32_t *value) {
    if (!has(key)) return true;
    const std::string text = take(key);
    return parse_int(text, value) || fail(key + ": not an int32: " + text);
  }
  bool real(const std::string &key, float *value) {
    if (!has(key)) return true;
    const std::string text = take(key);
    return parse_float(text, value) || fail(key + ": not a number: " + text);
  }
  bool floats(const std::string &key, std::vector<float> *values) {
    if (!has(key)) return true;
    std::vector<float> parsed;
    for (const std::string &item : items(take(key))) {
      float value;
      if (!parse_float(item, &value)) return fail(key + ": not a number: " + item);
      parsed.push_back(value);
    }
    if (parsed.size() != values->size()) {
      return fail(key + ": " + std::to_string(parsed.size()) + " values where the counts ask for " +
                  std::to_string(values->size()));
    }
    *values = std::move(parsed);
    return true;
  }
  bool int8s(const std::string &key, std::vector<int8_t> *values) {
    if (!has(key)) return true;
    std::vector<int8_t> parsed;
    for (const std::string &item : items(take(key))) {
      int32_t value;
      if (!parse_int(item, &value) || value < -128 || value > 127) {
        return fail(key + ": not an int8: " + item);
      }
      parsed.push_back(static_cast<int8_t>(value));
    }
    if (parsed.size() != values->size()) {
      return fail(key + ": " + std::to_string(parsed.size()) + " values where the counts ask for " +
                  std::to_string(values->size()));
    }
    *values = std::move(parsed);
    return true;
  }

  std::map<std::string, std::string> values_;
  std::string *error_;
};

}  // namespace

ModelDescription random_model(const ModelShape &shape, uint32_t seed) {
  ModelDescription model;
  model.hop_length = shape.hop_length;
  model.num_mel_bands = shape.num_mel_bands;
  model.num_layers = static_cast<int32_t>(shape.hidden_sizes.size());
  int32_t input = shape.level0_input_size;
  for (const int32_t hidden : shape.hidden_sizes) {
    LayerDescription layer;
    layer.hidden_size = hidden;
    layer.input_size = input;
    model.forward_layers.push_back(layer);
    model.backward_layers.push_back(layer);
    input = hidden;
  }
  model.pooled_size = shape.hidden_sizes.empty() ? 0 : shape.hidden_sizes.back();
  model.has_projection = shape.has_projection;
  model.embedding_size = shape.has_projection != 0 && shape.embedding_size != 0
                             ? shape.embedding_size
                             : model.pooled_size;
  model.output_input_size = model.embedding_size;
  fill_random_weights(&model, seed);
  return model;
}

ModelDescription default_model(uint32_t seed) { return random_model(ModelShape{}, seed); }

bool fill_random_weights(ModelDescription *model, uint32_t seed) {
  const int64_t bands = element_count(model->num_mel_bands);
  const int64_t output = element_count(model->num_languages, model->output_input_size);
  const int64_t bias = element_count(model->num_languages);
  const int64_t projection = element_count(model->embedding_size, model->pooled_size);
  if (bands < 0 || output < 0 || bias < 0 || (model->has_projection != 0 && projection < 0)) {
    return false;
  }
  for (const auto *layers : {&model->forward_layers, &model->backward_layers}) {
    for (const LayerDescription &layer : *layers) {
      if (layer.input_size < 0 ||
          element_count(3, layer.hidden_size, int64_t{layer.hidden_size} + layer.input_size) < 0) {
        return false;
      }
    }
  }

  Random random(seed);
  // Log10 mel energies of speech at a moderate level fall from about 0.5 in
  // the lowest band to about -2 in the highest, spread by one to two decades.
  model->feature_mean.resize(static_cast<size_t>(bands));
  for (int64_t b = 0; b < bands; ++b) {
    model->feature_mean[static_cast<size_t>(b)] = static_cast<float>(
        0.5 - 2.5 * static_cast<double>(b) / static_cast<double>(bands) + random.uniform(-0.25, 0.25));
  }
  fill_floats(&model->feature_std, bands, 1.0, 2.0, &random);
  // The pooled vector of a random model has entries of magnitude one to two
  // (T hidden states of either sign summed); a bound of 1 / sqrt(K) gives
  // logits spread by about one, so the scores follow the audio and neither
  // flatten out nor collapse onto one language. The bias stays smaller.
  const double output_bound = 1.0 / std::sqrt(std::max(1.0, double{1} * model->output_input_size));
  fill_floats(&model->output_weights, output, -output_bound, output_bound, &random);
  fill_floats(&model->output_bias, bias, -0.25, 0.25, &random);
  for (auto *layers : {&model->forward_layers, &model->backward_layers}) {
    for (LayerDescription &layer : *layers) fill_layer(&layer, &random);
  }
  if (model->has_projection != 0) {
    const double bound = 1.0 / std::sqrt(std::max(1.0, double{1} * model->pooled_size));
    fill_floats(&model->projection_weights, projection, -bound, bound, &random);
  } else {
    model->projection_weights.clear();
  }
  return true;
}

std::vector<uint8_t> encode(const ModelDescription &model) {
  std::vector<uint8_t> bytes;
  encode_into(model, &bytes, nullptr);
  return bytes;
}

std::vector<Field> layout(const ModelDescription &model) {
  std::vector<uint8_t> bytes;
  std::vector<Field> fields;
  encode_into(model, &bytes, &fields);
  return fields;
}

bool parse_description(const std::string &text, ModelDescription *model, std::string *error) {
  DescriptionParser parser(error);
  return parser.load(text) && parser.build(model);
}

bool write_file(const std::string &path, const std::vector<uint8_t> &bytes) {
  std::FILE *file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const bool written =
      bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
}

}  // namespace qx_tools
