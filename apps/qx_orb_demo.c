/* qx_orb_demo: prints the library version and the devices it can run on. */
#include <stdio.h>

#include "qx_orb.h"

static void print_error_stack(void) {
  char **messages = NULL;
  int32_t depth = 0;
  if (qx_get_error_stack(&messages, &depth) != QX_STATUS_SUCCESS && !messages) return;
  for (int32_t i = 0; i < depth; ++i) fprintf(stderr, "  %s\n", messages[i]);
  qx_free_error_stack(messages);
}

int main(void) {
  printf("libqx_orb %s: %d-sample frames at %d Hz\n", qx_orb_version(), qx_orb_frame_length(),
         qx_sample_rate());
  char **devices = NULL;
  int32_t count = 0;
  const QxStatus status = qx_orb_list_hardware_devices(&devices, &count);
  if (status != QX_STATUS_SUCCESS) {
    fprintf(stderr, "listing devices failed: %s\n", qx_status_to_string(status));
    print_error_stack();
    return 1;
  }
  printf("devices:\n");
  for (int32_t i = 0; i < count; ++i) printf("  %s\n", devices[i]);
  qx_orb_free_hardware_devices(devices, count);
  return 0;
}
