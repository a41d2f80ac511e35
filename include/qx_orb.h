/*
 * qx_orb.h - spoken language identification for 16 kHz, 16-bit mono audio.
 *
 * A host creates one engine from a model file, a device string and a voice
 * threshold, then hands it consecutive frames of exactly qx_orb_frame_length()
 * samples. A built-in voice detector gates each frame; voiced frames yield one
 * probability per language (indexed by QxOrbLanguage), unvoiced frames none.
 *
 * Every fallible function returns a QxStatus. After a failure, the calling
 * thread collects human-readable messages (innermost cause first) with
 * qx_get_error_stack() and releases them with qx_free_error_stack().
 *
 * Threads: an engine is used by one thread at a time. Different engines, each
 * created with its own device context, may be used on different threads at
 * the same time. The constant queries, the status texts, the error-stack
 * functions and the device listing may be called from any thread at any time.
 *
 * Memory: a warm engine allocates nothing per frame except the scores array
 * of a voiced frame.
 *
 * Models: a model is a ".qx" file that qx_orb_init() reads from the path it
 * is given; the library has no default of its own. The bundled model,
 * models/default.qx in the source tree, is trained by training/ (its data,
 * accuracy and limits are in models/MODEL.md); `qx_model_tool read FILE`
 * checks any model file. `cmake --install` puts it at
 * PREFIX/share/qx_orb/default.qx. Where no model is named, the qx-orb
 * program and the Python binding take, in this order:
 *   1. the path in the environment variable QX_ORB_MODEL;
 *   2. PREFIX/share/qx_orb/default.qx of the installed tree, found from the
 *      program's folder (PREFIX/bin) or, for the binding, from the library's
 *      (PREFIX/lib), after a default.qx in the binding's package folder;
 *   3. the source tree's models/default.qx.
 */
#ifndef QX_ORB_H
#define QX_ORB_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(QX_ORB_BUILDING)
#    define QX_API __declspec(dllexport)
#  else
#    define QX_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define QX_API __attribute__((visibility("default")))
#else
#  define QX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status code of every fallible function; 0 is success. */
typedef int32_t QxStatus;
#define QX_STATUS_SUCCESS          ((QxStatus)0)
#define QX_STATUS_OUT_OF_MEMORY    ((QxStatus)1)
#define QX_STATUS_IO_ERROR         ((QxStatus)2)
#define QX_STATUS_INVALID_ARGUMENT ((QxStatus)3)
#define QX_STATUS_STOP_ITERATION   ((QxStatus)4)
#define QX_STATUS_KEY_ERROR        ((QxStatus)5)
#define QX_STATUS_INVALID_STATE    ((QxStatus)6)
#define QX_STATUS_RUNTIME_ERROR    ((QxStatus)7)

/* Index into a scores array. */
typedef uint32_t QxOrbLanguage;
#define QX_ORB_LANGUAGE_UNKNOWN ((QxOrbLanguage)0)
#define QX_ORB_LANGUAGE_DE      ((QxOrbLanguage)1)
#define QX_ORB_LANGUAGE_EN      ((QxOrbLanguage)2)
#define QX_ORB_LANGUAGE_ES      ((QxOrbLanguage)3)
#define QX_ORB_LANGUAGE_FR      ((QxOrbLanguage)4)
#define QX_ORB_LANGUAGE_IT      ((QxOrbLanguage)5)
#define QX_ORB_LANGUAGE_JA      ((QxOrbLanguage)6)
#define QX_ORB_LANGUAGE_KO      ((QxOrbLanguage)7)
#define QX_ORB_LANGUAGE_PT      ((QxOrbLanguage)8)
#define QX_ORB_NUM_LANGUAGES    9

/* Opaque engine object. */
typedef struct QxOrb QxOrb;

/* ---- Engine ---------------------------------------------------------- */

/*
 * Creates an engine. `model_path` is a UTF-8 path to a ".qx" model file;
 * `device` is "best", "cpu[:threads]" or "gpu[:index]"; frames whose mean
 * voice probability is at least `voice_threshold` (0 to 1) are classified.
 * On success *object owns the engine; release it with qx_orb_delete().
 */
QX_API QxStatus qx_orb_init(const char *model_path, const char *device,
                            float voice_threshold, QxOrb **object);

/*
 * Processes one frame of qx_orb_frame_length() samples at qx_sample_rate().
 * A voiced frame sets *scores to QX_ORB_NUM_LANGUAGES probabilities that the
 * host frees with qx_orb_scores_delete(); an unvoiced frame succeeds with
 * *scores set to NULL.
 */
QX_API QxStatus qx_orb_process(QxOrb *object, const int16_t *pcm, float **scores);

/* Destroys an engine and everything it owns. NULL is allowed. */
QX_API void qx_orb_delete(QxOrb *object);

/* Frees a scores array from qx_orb_process(). NULL is allowed. */
QX_API void qx_orb_scores_delete(float *scores);

/* Samples per frame: 32768 (2.048 s). */
QX_API int32_t qx_orb_frame_length(void);

/* Sample rate the engine expects: 16000 Hz. */
QX_API int32_t qx_sample_rate(void);

/* Library version text, static: "1.0.0". */
QX_API const char *qx_orb_version(void);

/* Static language text ("unknown", "de", ..., "pt"); NULL above 8. */
QX_API const char *qx_orb_language_to_string(QxOrbLanguage language);

/* ---- Devices --------------------------------------------------------- */

/*
 * Lists the devices a host may name, e.g. "cpu:[0-8] - CPU (8 threads)".
 * On success the host owns the array and its strings; release them with
 * qx_orb_free_hardware_devices(). On failure *hardware_devices is NULL and
 * *num_hardware_devices 0.
 */
QX_API QxStatus qx_orb_list_hardware_devices(char ***hardware_devices,
                                             int32_t *num_hardware_devices);

/* Frees a device list. NULL is allowed. */
QX_API void qx_orb_free_hardware_devices(char **hardware_devices,
                                         int32_t num_hardware_devices);

/* ---- Status, errors and logging -------------------------------------- */

/* Static text of a status ("SUCCESS", ...); NULL for unknown values. */
QX_API const char *qx_status_to_string(QxStatus status);

/*
 * Hands the calling thread's messages from its last failed call to the
 * host, innermost cause first, and clears them. *message_stack always holds
 * 8 strings (the first *message_stack_depth are meaningful); release it with
 * qx_free_error_stack(). Returns QX_STATUS_INVALID_STATE when the thread has
 * no messages, QX_STATUS_INVALID_ARGUMENT when an argument is NULL, and
 * QX_STATUS_OUT_OF_MEMORY when the messages were delivered but the library
 * could not prepare storage for the next collection.
 */
QX_API QxStatus qx_get_error_stack(char ***message_stack, int32_t *message_stack_depth);

/* Frees an array from qx_get_error_stack(). NULL is allowed. */
QX_API void qx_free_error_stack(char **message_stack);

/* Frees memory the library handed to the host. NULL is allowed. */
QX_API void qx_free(void *pointer);

/* Console diagnostics on standard output, enabled by default. */
QX_API void qx_log_enable(void);
QX_API void qx_log_disable(void);

#ifdef __cplusplus
}
#endif

#endif /* QX_ORB_H */
