// The engine's constant queries; safe from any thread.
#include "qx_orb.h"

namespace {
const char *const kLanguageTexts[QX_ORB_NUM_LANGUAGES] = {
    "unknown", "de", "en", "es", "fr", "it", "ja", "ko", "pt",
};
}  // namespace

extern "C" QX_API int32_t qx_orb_frame_length(void) { return 32768; }
extern "C" QX_API int32_t qx_sample_rate(void) { return 16000; }
extern "C" QX_API const char *qx_orb_version(void) { return "1.0.0"; }

extern "C" QX_API const char *qx_orb_language_to_string(QxOrbLanguage language) {
  return language < QX_ORB_NUM_LANGUAGES ? kLanguageTexts[language] : nullptr;
}

extern "C" QX_API void qx_orb_scores_delete(float *scores) { qx_free(scores); }
