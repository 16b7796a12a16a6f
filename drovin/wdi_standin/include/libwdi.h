/*
 * Stand-in for libwdi's public header, for builds that cannot link the real library
 * (every non-Windows build, and the tests). It declares the part of libwdi's C API that
 * drovin calls, with libwdi's own names, constants, field names and field types, so that
 * drovin's sources compile unchanged against either header.
 *
 * The implementation behind it (standin.cpp) touches no driver: it serves a device list
 * and result codes read from a scenario file and records every call with its arguments.
 * See wdi_standin.h for the scenario and record formats.
 */
#ifndef DROVIN_WDI_STANDIN_LIBWDI_H
#define DROVIN_WDI_STANDIN_LIBWDI_H

#if defined(_WIN32)
#include <windows.h>
#else
#include <stdint.h>
typedef int BOOL;
typedef void* HWND;
typedef uint32_t UINT32;
typedef uint64_t UINT64;
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#endif

#define LIBWDI_EXP
#define LIBWDI_API

#ifdef __cplusplus
extern "C" {
#endif

enum wdi_driver_type { WDI_WINUSB, WDI_LIBUSB0, WDI_LIBUSBK, WDI_CDC, WDI_USER, WDI_NB_DRIVERS };

enum wdi_log_level {
  WDI_LOG_LEVEL_DEBUG,
  WDI_LOG_LEVEL_INFO,
  WDI_LOG_LEVEL_WARNING,
  WDI_LOG_LEVEL_ERROR,
  WDI_LOG_LEVEL_NONE
};

enum wdi_error {
  WDI_SUCCESS = 0,
  WDI_ERROR_IO = -1,
  WDI_ERROR_INVALID_PARAM = -2,
  WDI_ERROR_ACCESS = -3,
  WDI_ERROR_NO_DEVICE = -4,
  WDI_ERROR_NOT_FOUND = -5,
  WDI_ERROR_BUSY = -6,
  WDI_ERROR_TIMEOUT = -7,
  WDI_ERROR_OVERFLOW = -8,
  WDI_ERROR_PENDING_INSTALLATION = -9,
  WDI_ERROR_INTERRUPTED = -10,
  WDI_ERROR_RESOURCE = -11,
  WDI_ERROR_NOT_SUPPORTED = -12,
  WDI_ERROR_EXISTS = -13,
  WDI_ERROR_USER_CANCEL = -14,
  WDI_ERROR_NEEDS_ADMIN = -15,
  WDI_ERROR_WOW64 = -16,
  WDI_ERROR_INF_SYNTAX = -17,
  WDI_ERROR_CAT_MISSING = -18,
  WDI_ERROR_UNSIGNED = -19,
  WDI_ERROR_OTHER = -99
};

struct wdi_device_info {
  struct wdi_device_info* next;
  unsigned short vid;
  unsigned short pid;
  BOOL is_composite;
  unsigned char mi;
  char* desc;
  char* driver;
  char* device_id;
  char* hardware_id;
  char* compatible_id;
  char* upper_filter;
  UINT64 driver_version;
};

struct wdi_options_create_list {
  BOOL list_all;
  BOOL list_hubs;
  BOOL trim_whitespaces;
};

struct wdi_options_prepare_driver {
  int driver_type;
  char* vendor_name;
  char* device_guid;
  BOOL disable_cat;
  BOOL disable_signing;
  char* cert_subject;
  BOOL use_wcid_driver;
};

struct wdi_options_install_driver {
  HWND hWnd;
  BOOL install_filter_driver;
  UINT32 pending_install_timeout;
};

LIBWDI_EXP int LIBWDI_API wdi_set_log_level(int level);
LIBWDI_EXP int LIBWDI_API wdi_create_list(struct wdi_device_info** list,
                                          struct wdi_options_create_list* options);
LIBWDI_EXP int LIBWDI_API wdi_destroy_list(struct wdi_device_info* list);
LIBWDI_EXP int LIBWDI_API wdi_prepare_driver(struct wdi_device_info* device_info, const char* path,
                                             const char* inf_name,
                                             struct wdi_options_prepare_driver* options);
LIBWDI_EXP int LIBWDI_API wdi_install_driver(struct wdi_device_info* device_info, const char* path,
                                             const char* inf_name,
                                             struct wdi_options_install_driver* options);

#ifdef __cplusplus
}
#endif

#endif
