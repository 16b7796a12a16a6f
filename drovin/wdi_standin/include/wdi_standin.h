/*
 * Control of the libwdi stand-in, for tests.
 *
 * The stand-in reads its scenario the first time one of the wdi_* functions is called,
 * from the file named by DROVIN_WDI_SCENARIO (no variable: an empty bus and no faults).
 * One directive a line; '#' starts a comment:
 *
 *   device vid=7a11 pid=1300 [mi=N] [hardware_id=T] [device_id=T] [desc=T] [driver=T]
 *       A device that wdi_create_list reports, in file order. mi makes it a composite
 *       interface. vid and pid are hexadecimal. T is text in which %XX stands for the byte
 *       0xXX, so blanks and bytes that are not UTF-8 can be written.
 *   fail <function> <n|*> <code>
 *       The n-th call (counted from 1), or every call, of the named wdi_* function
 *       returns code and does nothing else.
 *
 * Every call is appended to the file named by DROVIN_WDI_RECORD as one line:
 *
 *   <function> <name>=<value> ... -> <result>
 *
 * A value is a decimal number, null (a null pointer), ptr (a non-null pointer that is not
 * text) or "T" with T written as in the scenario (%XX for blanks, quotes, '%' and bytes
 * outside printable ASCII).
 *
 * Like libwdi, wdi_create_list returns WDI_ERROR_NO_DEVICE for an empty list, and
 * wdi_prepare_driver creates the package directory, relative to the current directory, with
 * a placeholder INF file in it.
 */
#ifndef DROVIN_WDI_STANDIN_CONTROL_H
#define DROVIN_WDI_STANDIN_CONTROL_H

#ifdef __cplusplus
extern "C" {
#endif

/* Forgets the scenario and the call counts, so that the next call reads the environment
 * again. Lists already handed out stay valid until wdi_destroy_list. */
void wdi_standin_reset(void);

#ifdef __cplusplus
}
#endif

#endif
