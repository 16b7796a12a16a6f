/*
 * velk: firmware service for the Tavrin Systems Vexo USB Bluetooth device.
 *
 * Plain C interface, C calling convention. One call at a time per handle; any thread may call.
 *
 * Result codes. Every function that returns a code returns 0 (or its documented success
 * value) on success and one of these negative codes on failure; the reason is written to the
 * log file set up by velk_init:
 *   -65535  internal error (also: a second velk_init, a caught internal failure, a poisoned handle)
 *   -65534  libusb error
 *   -65533  hidapi error
 *   -65532  invalid argument (also: a bad path, a failed dump-file write, a null pointer)
 *   -65531  device not found, or more than one device attached
 *   -65530  the device answered wrongly, or came back in the wrong mode
 *   -65529  the device sent an unexpected event
 *   -65528  invalid firmware image
 *   -65527  timeout
 * Adding 65535 to a code gives the error kind's number, 0 to 8.
 *
 * Operation modes, as returned by velk_status: 0 none/not answering, 1 Bluetooth module (BTM),
 * 2 DFU boot loader, 3 serial-flash loader (SQIF), 4 DSP loader. Operations switch the device
 * into the mode they need by restarting it; a restart blocks for at least 5 s plus the time the
 * device takes to come back (up to 300 attempts, one a second, about five minutes at worst).
 *
 * Null pointers. A null handle, or a null buffer where the length is nonzero, returns -65532 and
 * touches no device. A null progress callback is allowed: that operation reports no progress.
 *
 * Waits. Whatever the device sends, or fails to send, every call returns. Besides the restart
 * wait above, each wait on the device has a bound:
 *   BTM   every HCI transfer 100 ms. After connecting, stale events are drained for at most
 *         256 events or 1 s; a device whose events do not stop is not opened (-65531 once the
 *         attempts run out). An answer is awaited among at most 256 events of other channels,
 *         or 1 s of them, then -65529.
 *   DFU   every request 1 s. A block may keep the loader busy for 60 s, manifestation may last
 *         60 s, then -65527; a bwPollTimeout (up to 4.6 hours) that would end past that ends the
 *         wait at once. An upload stops at 64 MiB (-65530).
 *   SQIF  every status read 1 s. -65527 after 30 s without a status, or when a command is still
 *         busy after 5 minutes (the longest erase of an 8 MiB serial flash, 100 s for a chip erase
 *         or 256 s block by block at worst, fits); -65529 after 256 reports for other commands.
 *   DSP   a command busy for 60 s: -65527. Feature reports and HID writes are blocking calls of
 *         the system's HID driver, which ends each by itself (Linux: after 5 s).
 *
 * Memory. Beside the host's own buffers, an operation holds at most: for an xuv image, the image
 * it describes, capped at 64 MiB whatever the text's length (-65528 beyond); for an FF image, its
 * write data (never more than the file) and its list of sections, together under twice the file's
 * length; for a DFU file, nothing (it is checked and sent in place); for a dump, the image read,
 * at most 64 MiB, in pieces of 1 MiB; for DSP transfers, one 64 KiB sector.
 */
#ifndef VELK_H
#define VELK_H

#include <stdint.h>

#ifdef _WIN32
#ifdef VELK_BUILDING_LIBRARY
#define VELK_API __declspec(dllexport)
#else
#define VELK_API __declspec(dllimport)
#endif
#define VELK_CALL __cdecl
#else
#define VELK_API __attribute__((visibility("default")))
#define VELK_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* An open device. Obtained from velk_open, released by velk_close. */
typedef struct velk_device* velk_handle;

/* Progress of a long operation: `done` units of `total` so far. It runs on the calling thread
 * while the handle is locked, so it must not call back into the library with the same handle. */
typedef void(VELK_CALL* velk_progress_fn)(uint64_t done, uint64_t total);

/* Sets up the log file. Call once, before anything else; optional.
 * level: 0 no log (returns 0 at once, the path is not read), 1 error, 2 warn, 3 info, 4 debug,
 * 5 and above trace. log_path: UTF-8 path; the file is created or appended to.
 * Returns 0; -65532 when the path is not UTF-8 or the file cannot be opened; -65535 when a
 * logger was already set up by an earlier call (the first log file stays in use). */
VELK_API int32_t VELK_CALL velk_init(const char* log_path, uint32_t level);

/* Finds the one attached device, in whatever mode it is, and opens it. Does not wait and does
 * not switch modes. Returns null when no device, more than one device, or a device that cannot
 * be opened is found, or when libusb or hidapi cannot be initialised (the reason is logged). */
VELK_API velk_handle VELK_CALL velk_open(void);

/* Closes the device connection and frees the handle. Sends nothing to the device. Must not run
 * while another call on the same handle runs; the handle is dead afterwards. Null is ignored. */
VELK_API void VELK_CALL velk_close(velk_handle handle);

/* Restarts the device from its current mode and waits until it is back, in any mode. */
VELK_API int32_t VELK_CALL velk_reset(velk_handle handle);

/* The device's current mode, 0 to 4 (0: no connection, or the device does not answer).
 * Never switches modes. -65532 for a null handle, -65535 for a poisoned handle. */
VELK_API int32_t VELK_CALL velk_status(velk_handle handle);

/* Persistent-store keys (BTM mode; the device is switched there first if needed).
 * Values are arrays of 16-bit words; lengths count words. */

/* Reads a key into buffer (capacity words). Returns the number of words stored, or a code:
 * -65532 when the value is longer than capacity (the buffer is left untouched). */
VELK_API int32_t VELK_CALL velk_read_pskey(velk_handle handle, uint16_t key, uint16_t* buffer,
                                           uint32_t capacity);
/* Writes count words (at most 118; more gives -65532 and sends nothing). */
VELK_API int32_t VELK_CALL velk_write_pskey(velk_handle handle, uint16_t key,
                                            const uint16_t* values, uint32_t count);
/* Clears a key from the persistent store. */
VELK_API int32_t VELK_CALL velk_clear_pskey(velk_handle handle, uint16_t key);

/* The transfers below switch the device into the mode they need (from BTM mode; from any other
 * mode through a restart into BTM first), do their work, and restart the device only after a
 * success: after a failure it stays in that mode, and the next call's own switch brings it back.
 * progress, when not null, is called on the calling thread, first with (0, total), then as the
 * transfer goes on. Besides the codes listed: -65534/-65533 for libusb/hidapi failures, -65531
 * when the device does not come back, -65530 when the device answers wrongly or comes back in the
 * wrong mode.
 * After a call failed in a way that means the device may have left or restarted (a transfer lost,
 * stalled or timed out, the device gone), the next call that needs a mode first checks that the
 * device still answers on the handle; if not, it finds the device again, waiting as after a
 * restart, in whatever mode it shows, and goes on from there. */

/* Flashes the Bluetooth-module firmware from a DFU file: the image followed by its 16-byte DFU
 * suffix, whose vendor and product IDs must name this device (bit 0 of the product ID may be
 * clear) and whose CRC must match. DFU mode. progress counts image bytes, after each block.
 * DFU requests: DFU_DNLOAD (1), DFU_GETSTATUS (3), DFU_CLRSTATUS (4) and DFU_ABORT (6): a loader
 * that an earlier transfer left in dfuDNLOAD-IDLE or dfuUPLOAD-IDLE is aborted back to dfuIDLE
 * before the first block, so an image never continues one that was cut short.
 * -65528 for a file that fails the checks (nothing is sent); -65527 when the device's
 * manifestation runs over 60 s. */
VELK_API int32_t VELK_CALL velk_flash_btm(velk_handle handle, const uint8_t* image, uint32_t length,
                                          velk_progress_fn progress);
/* Reads the Bluetooth-module firmware in DFU mode and writes it, with a DFU suffix, to the file
 * at path (UTF-8; created or replaced through a temporary file, so a failed write never leaves a
 * half-written file in its place). The device is restarted afterwards even when the read failed;
 * a failed restart's code wins. -65532 for a null path or one that is not UTF-8 (nothing is sent)
 * and for a file that cannot be written (the log names the path and the system's reason).
 * progress reports the bytes read so far as both done and total, since the size is known only at
 * the end. DFU requests: DFU_UPLOAD (2), DFU_GETSTATUS (3), DFU_CLRSTATUS (4) and DFU_ABORT (6),
 * as for velk_flash_btm: the image is always read from its first byte. */
VELK_API int32_t VELK_CALL velk_dump_btm(velk_handle handle, const char* path,
                                         velk_progress_fn progress);
/* Flashes the serial flash from an xuv text image (lines "@ADDRESS VALUE" of 16-bit words):
 * erase, write in 1018-byte chunks, manifest. SQIF mode. progress counts image bytes.
 * -65528 for a malformed image (nothing is sent; the device stays in SQIF mode); -65527 when
 * the loader gives no status for 30 s or stays busy with one command for 5 minutes. */
VELK_API int32_t VELK_CALL velk_flash_sqif(velk_handle handle, const uint8_t* image,
                                           uint32_t length, velk_progress_fn progress);

/* DSP memory: 4 MiB, in 8 KiB sectors below 0x10000 (protected) and 64 KiB sectors above.
 * Sectors are read, and written back only when their bytes change. -65527 when the loader stays
 * busy for 60 s. */

/* Applies an FF image's erase and write sections in file order. None may start below 0x10000.
 * progress counts section bytes (the total is the sum of all section lengths). -65528 for a
 * malformed image, a section in protected memory, an erase not made of whole sectors, or a
 * range past the end of the flash. */
VELK_API int32_t VELK_CALL velk_flash_dsp(velk_handle handle, const uint8_t* image, uint32_t length,
                                          velk_progress_fn progress);
/* Writes length bytes at a byte address. Below 0x10000 only a loader image at address 0 that
 * passes the loader-image check may be written. -65528 for another address below 0x10000, a
 * rejected loader image (its reason is logged) or a range past the end of the flash. */
VELK_API int32_t VELK_CALL velk_write_dsp(velk_handle handle, uint32_t address, const uint8_t* data,
                                          uint32_t length, velk_progress_fn progress);
/* Reads length bytes from a byte address into buffer. Any address of the flash can be read.
 * -65528 for a range past the end of the flash. */
VELK_API int32_t VELK_CALL velk_read_dsp(velk_handle handle, uint32_t address, uint8_t* buffer,
                                         uint32_t length, velk_progress_fn progress);

#ifdef __cplusplus
}
#endif

#endif /* VELK_H */
