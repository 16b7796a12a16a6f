/* A host that tries again on the same handle: flashes the Bluetooth-module firmware from a DFU
 * file, and when that fails (the cable pulled mid-download), flashes it once more without closing
 * the handle. Exit status 0 when the first flash failed, the second succeeded and the device is
 * back in BTM mode.
 *   retry_flash FILE.dfu LOG */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "velk.h"

static uint8_t* read_all(const char* path, uint32_t* length) {
  FILE* f = fopen(path, "rb");
  if (f == NULL) return NULL;
  uint8_t* data = malloc(1u << 20);
  *length = data == NULL ? 0 : (uint32_t)fread(data, 1, 1u << 20, f);
  fclose(f);
  return data;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fputs("usage: retry_flash FILE.dfu LOG\n", stderr);
    return 2;
  }
  uint32_t length = 0;
  uint8_t* file = read_all(argv[1], &length);
  if (file == NULL || velk_init(argv[2], 4) != 0) return 2;
  velk_handle device = velk_open();
  if (device == NULL) {
    fputs("retry_flash: no device opened\n", stderr);
    free(file);
    return 3;
  }
  const int32_t first = velk_flash_btm(device, file, length, NULL);
  const int32_t second = velk_flash_btm(device, file, length, NULL);
  const int32_t mode = velk_status(device);
  printf("first flash: %d, second flash: %d, mode: %d\n", first, second, mode);
  velk_close(device);
  free(file);
  return first != 0 && second == 0 && mode == 1 ? 0 : 1;
}
