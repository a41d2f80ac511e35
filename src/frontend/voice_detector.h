// The built-in voice detector: a fixed-point log-mel front end and a small
// int8/int16 recurrent network run as a graph program on the engine's device
// context. Its state carries from chunk to chunk for the engine's lifetime.
#pragma once

#include <cstdint>

#include "qx_orb.h"

namespace qx {

struct DeviceContext;
struct VoiceDetector;

constexpr int32_t kVoiceChunkSamples = 512;
constexpr int32_t kVoiceChunksPerFrame = 64;

// Takes over one reference to `context`: the detector holds it on success,
// and it is released on failure.
QxStatus voice_detector_create(DeviceContext *context, VoiceDetector **detector);

// Voice probability in [0, 1] of the next 512 samples. A tensor the device
// cannot map fails the chunk with QX_STATUS_RUNTIME_ERROR.
QxStatus voice_detector_probability(VoiceDetector *detector, const int16_t *pcm,
                                    float *is_voiced);

// Releases the detector and its context reference. Null is ignored.
void voice_detector_delete(VoiceDetector *detector);

}  // namespace qx
