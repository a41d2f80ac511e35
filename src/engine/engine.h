// The engine object behind the public QxOrb handle.
#pragma once

#include "engine/model.h"

namespace qx {
struct DeviceContext;
struct VoiceDetector;
}  // namespace qx

// Allocated through its device context; either fully built or not at all.
struct QxOrb {
  qx::DeviceContext *device_context;  // one reference held by the engine
  float voice_threshold;              // frames with mean voice probability >= this are classified
  qx::VoiceDetector *voice_detector;  // holds the context's other reference
  qx::ModelRecords model;             // feature settings, output layer, recurrent stack
};
