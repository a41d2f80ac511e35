/* The public header from C: every constant is usable and the exported
 * functions that need no model behave as documented. */
#include <stdio.h>
#include <string.h>

#include "qx_orb.h"

static int failures = 0;
#define CHECK(condition)                                               \
  do {                                                                 \
    if (!(condition)) {                                                \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, \
              #condition);                                             \
      ++failures;                                                      \
    }                                                                  \
  } while (0)

int main(void) {
  CHECK(qx_orb_frame_length() == 32768);
  CHECK(qx_sample_rate() == 16000);
  CHECK(strcmp(qx_orb_version(), "1.0.0") == 0);
  CHECK(strcmp(qx_orb_language_to_string(QX_ORB_LANGUAGE_PT), "pt") == 0);
  CHECK(qx_orb_language_to_string(QX_ORB_NUM_LANGUAGES) == NULL);
  CHECK(strcmp(qx_status_to_string(QX_STATUS_RUNTIME_ERROR), "RUNTIME_ERROR") == 0);

  char **devices = NULL;
  int32_t count = 0;
  CHECK(qx_orb_list_hardware_devices(&devices, &count) == QX_STATUS_SUCCESS);
  /* The CPU first; a GPU library beside the library may add its devices. */
  CHECK(count >= 1 && devices && strncmp(devices[0], "cpu:[0-", 7) == 0);
  qx_orb_free_hardware_devices(devices, count);

  char **messages = NULL;
  int32_t depth = -1;
  CHECK(qx_orb_list_hardware_devices(NULL, &count) == QX_STATUS_INVALID_ARGUMENT);
  CHECK(qx_get_error_stack(&messages, &depth) == QX_STATUS_SUCCESS);
  CHECK(depth == 1 && strstr(messages[0], "00000064: Argument `hardware_devices` is NULL."));
  qx_free_error_stack(messages);
  qx_orb_scores_delete(NULL);
  qx_free(NULL);

  if (failures == 0) printf("c_api_test: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
