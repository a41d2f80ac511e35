// qx_orb_train_tool: the library's own numbers for training and evaluation.
//
//   features IN.pcm OUT_PREFIX [STRIDE]
//       IN.pcm is raw 16 kHz mono int16 (native byte order). Writes
//       OUT_PREFIX.mel: float32 [frames][128][40] raw log10 band energies of
//         each 32768-sample frame starting every STRIDE samples (default
//         16384), computed by the classifier's extractor with mean 0, std 1;
//       OUT_PREFIX.vad: int16 [len/256][40] detector front-end values of the
//         whole stream, state carried from call to call as in the engine.
//   evaluate MODEL.qx THRESHOLD IN.pcm
//       Runs the engine over consecutive 32768-sample frames and, on a second
//       context, the built-in detector over every 512-sample chunk. Prints
//       one line per frame: "frame <i> <voiced 0|1> <9 scores>"
//       and one line per chunk: "chunk <i> <probability>".
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "devices/device_selection.h"
#include "engine/model.h"
#include "frontend/log_mel.h"
#include "frontend/vad_front_end.h"
#include "frontend/voice_detector.h"
#include "qx_orb.h"
#include "runtime/device_context.h"

namespace {

constexpr int kBands = 40;
constexpr int kHop = 256;

bool read_pcm(const char *path, std::vector<int16_t> *pcm) {
  std::FILE *file = std::fopen(path, "rb");
  if (!file) return false;
  std::fseek(file, 0, SEEK_END);
  const long bytes = std::ftell(file);
  std::fseek(file, 0, SEEK_SET);
  pcm->resize(static_cast<size_t>(bytes) / 2);
  const size_t got = std::fread(pcm->data(), 2, pcm->size(), file);
  std::fclose(file);
  return got == pcm->size();
}

bool write_all(const std::string &path, const void *data, size_t bytes) {
  std::FILE *file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const bool ok = std::fwrite(data, 1, bytes, file) == bytes;
  return std::fclose(file) == 0 && ok;
}

int features(const char *in, const std::string &prefix, int stride) {
  std::vector<int16_t> pcm;
  if (!read_pcm(in, &pcm)) {
    std::fprintf(stderr, "cannot read %s\n", in);
    return 1;
  }
  qx::DeviceContext *context = nullptr;
  if (qx::open_device("cpu:1", "cpu:1", &context) != QX_STATUS_SUCCESS) return 1;

  // Raw log10 energies: mean 0 and deviation 1 leave them untouched.
  std::vector<float> mean(kBands, 0.0f), deviation(kBands, 1.0f), window(512);
  for (int i = 0; i < 512; ++i) {
    window[i] = static_cast<float>(0.5 * (1.0 - std::cos(6.283185307179586 * i / 511.0)));
  }
  const qx::LogMelSettings settings{kHop, kBands, 1e-6f, mean.data(), deviation.data(),
                                   window.data()};
  const int rows = qx::kFrameSamples / kHop;
  std::vector<float> mel;
  for (size_t start = 0; start + qx::kFrameSamples <= pcm.size(); start += stride) {
    qx::TensorBuffer *tensor = nullptr;
    if (qx::extract_log_mel_features(context, &settings, pcm.data() + start, 2 * kBands,
                                     &tensor) != QX_STATUS_SUCCESS) {
      return 1;
    }
    const auto *values = static_cast<const float *>(qx::map(context, tensor, 1));
    mel.insert(mel.end(), values, values + rows * kBands);
    qx::unmap(context, tensor, 0);
    qx::recycle_buffer(context, tensor);
  }
  qx::release_device_context(context);

  qx::VadHistory history{};
  history.hop = kHop;
  qx::VadFrontEnd front_end{kHop, 0, &history};
  std::vector<int16_t> vad((pcm.size() / kHop) * kBands);
  for (size_t i = 0; i < pcm.size() / kHop; ++i) {
    qx::vad_front_end(&front_end, pcm.data() + i * kHop, vad.data() + i * kBands);
  }
  if (!write_all(prefix + ".mel", mel.data(), mel.size() * 4) ||
      !write_all(prefix + ".vad", vad.data(), vad.size() * 2)) {
    std::fprintf(stderr, "cannot write %s.*\n", prefix.c_str());
    return 1;
  }
  return 0;
}

int evaluate(const char *model, float threshold, const char *in) {
  std::vector<int16_t> pcm;
  if (!read_pcm(in, &pcm)) {
    std::fprintf(stderr, "cannot read %s\n", in);
    return 1;
  }
  QxOrb *engine = nullptr;
  if (qx_orb_init(model, "cpu:1", threshold, &engine) != QX_STATUS_SUCCESS) {
    std::fprintf(stderr, "cannot load %s\n", model);
    return 1;
  }
  for (size_t f = 0; (f + 1) * qx::kFrameSamples <= pcm.size(); ++f) {
    float *scores = nullptr;
    if (qx_orb_process(engine, pcm.data() + f * qx::kFrameSamples, &scores) != QX_STATUS_SUCCESS) {
      qx_orb_delete(engine);
      return 1;
    }
    std::printf("frame %zu %d", f, scores ? 1 : 0);
    for (int k = 0; k < QX_ORB_NUM_LANGUAGES; ++k) std::printf(" %.5f", scores ? scores[k] : 0.0f);
    std::printf("\n");
    qx_orb_scores_delete(scores);
  }
  qx_orb_delete(engine);

  // The detector alone, chunk by chunk, on a context of its own.
  qx::DeviceContext *context = nullptr;
  if (qx::open_device("cpu:1", "cpu:1", &context) != QX_STATUS_SUCCESS) return 1;
  qx::VoiceDetector *detector = nullptr;
  if (qx::voice_detector_create(context, &detector) != QX_STATUS_SUCCESS) return 1;
  for (size_t c = 0; (c + 1) * qx::kVoiceChunkSamples <= pcm.size(); ++c) {
    float p = 0.0f;
    if (qx::voice_detector_probability(detector, pcm.data() + c * qx::kVoiceChunkSamples, &p) !=
        QX_STATUS_SUCCESS) {
      qx::voice_detector_delete(detector);
      return 1;
    }
    std::printf("chunk %zu %.5f\n", c, p);
  }
  qx::voice_detector_delete(detector);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 4 && std::strcmp(argv[1], "features") == 0) {
    return features(argv[2], argv[3], argc >= 5 ? std::atoi(argv[4]) : 16384);
  }
  if (argc == 5 && std::strcmp(argv[1], "evaluate") == 0) {
    return evaluate(argv[2], static_cast<float>(std::atof(argv[3])), argv[4]);
  }
  std::fprintf(stderr,
               "usage: qx_orb_train_tool features IN.pcm OUT_PREFIX [STRIDE]\n"
               "       qx_orb_train_tool evaluate MODEL.qx THRESHOLD IN.pcm\n");
  return 2;
}
