/*
 * Brindlex: drives the 256 outputs of one output controller on a serial link.
 *
 * The host sees eight devices, ids 1 to 8, of 32 outputs each. The library
 * opens the controller's port when it is loaded and closes it when it is
 * unloaded; every output call updates the library's mirror of the outputs and
 * sends that device's whole bank to the controller in one synchronous write.
 * Nothing is ever reported back: a port that could not be opened shows only as
 * an empty device list.
 *
 * Threading: the library takes no lock. Make one call at a time.
 *
 * This header compiles as C99 and as C++.
 */
#ifndef BRINDLEX_H
#define BRINDLEX_H

#include <stdint.h>

/* Every export and the callback use the C calling convention, in which the
 * caller removes the arguments from the stack. That is what makes it safe on
 * 32-bit Windows to pass more arguments than a function takes. */
#if defined(_WIN32)
#define BRINDLEX_CALL __cdecl
#else
#define BRINDLEX_CALL
#endif

/* On Windows the module's .def file decides what is exported; on Linux the
 * library is built with hidden visibility and only these names are shown. */
#if defined(BRINDLEX_BUILDING_LIBRARY) && !defined(_WIN32)
#define BRINDLEX_API __attribute__((visibility("default")))
#else
#define BRINDLEX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The devices the host may address, filled by LWZ_SET_NOTIFY. */
typedef struct DeviceList {
    int32_t ids[16]; /* device ids, filled from the front */
    int32_t count;   /* number of valid entries in ids */
} DeviceList;

/* Called with reason 1 and a device id for each device the host may now
 * address. */
#define BRINDLEX_REASON_DEVICE_ARRIVED 1
typedef void(BRINDLEX_CALL *NotifyProc)(int32_t reason, int32_t deviceId);

/* Switches the 32 outputs of device deviceId (1 to 8) on or off: bit k of
 * bank b is output 8*b + k of the device. Only the low 8 bits of each bank
 * argument count; further arguments after bank3 are ignored. */
BRINDLEX_API void BRINDLEX_CALL LWZ_SBA(int32_t deviceId, int32_t bank0, int32_t bank1,
                                        int32_t bank2, int32_t bank3);

/* Sets the 32 level bytes of device deviceId (1 to 8) from values[0..31],
 * which are only read. */
BRINDLEX_API void BRINDLEX_CALL LWZ_PBA(int32_t deviceId, const uint8_t *values);

/* Fills deviceList with the ids 1 to 8 and calls notifyProc(1, id) for each,
 * in ascending order, before returning; with the port closed the list is left
 * empty and notifyProc is not called. */
BRINDLEX_API void BRINDLEX_CALL LWZ_SET_NOTIFY(NotifyProc notifyProc, DeviceList *deviceList);

/* Accepted for compatibility and do nothing: any arguments are ignored. */
BRINDLEX_API void BRINDLEX_CALL LWZ_SET_NOTIFY_EX(void);
BRINDLEX_API void BRINDLEX_CALL LWZ_REGISTER(void);

#ifdef __cplusplus
}
#endif

#endif /* BRINDLEX_H */
