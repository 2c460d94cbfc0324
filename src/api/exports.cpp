// The five functions the host calls.
#include "brindlex.h"

#include "link/link.h"
#include "outputs/outputs.h"

// The host's last callback and list. Used only while LWZ_SET_NOTIFY runs.
static NotifyProc notifyProc = nullptr;
static DeviceList *deviceList = nullptr;

extern "C" {

BRINDLEX_API void BRINDLEX_CALL LWZ_SBA(int32_t deviceId, int32_t bank0, int32_t bank1,
                                        int32_t bank2, int32_t bank3)
{
    if (IsValidDevice(deviceId) && IsLinkOpen()) {
        SetStatesFromBanks(deviceId, static_cast<uint32_t>(bank0), static_cast<uint32_t>(bank1),
                           static_cast<uint32_t>(bank2), static_cast<uint32_t>(bank3));
    }
    // Even an invalid id sends its bank as it stands: one command per call.
    SendBank(CMD_SET_STATES, BankStart(deviceId));
}

BRINDLEX_API void BRINDLEX_CALL LWZ_PBA(int32_t deviceId, const uint8_t *values)
{
    // A null values pointer is treated like an invalid id rather than read.
    if (IsValidDevice(deviceId) && IsLinkOpen() && values != nullptr) {
        SetLevels(deviceId, values);
    }
    SendBank(CMD_SET_LEVELS, BankStart(deviceId));
}

BRINDLEX_API void BRINDLEX_CALL LWZ_SET_NOTIFY(NotifyProc proc, DeviceList *list)
{
    notifyProc = proc;
    deviceList = list;
    if (deviceList == nullptr) {
        return;
    }
    deviceList->count = 0;
    if (!IsLinkOpen()) {
        return;
    }
    constexpr int32_t capacity = sizeof deviceList->ids / sizeof deviceList->ids[0];
    for (int32_t id = 1; id <= DEVICES_PER_LINK * LINK_COUNT; ++id) {
        if (deviceList->count < capacity) {
            deviceList->ids[deviceList->count] = id;
            ++deviceList->count;
        }
    }
    // Only after the whole list is filled, so that every call sees all ids.
    if (notifyProc == nullptr) {
        return;
    }
    for (int32_t id = 1; id <= DEVICES_PER_LINK * LINK_COUNT; ++id) {
        notifyProc(BRINDLEX_REASON_DEVICE_ARRIVED, id);
    }
}

// Accepted for compatibility. With the caller cleaning the stack, ignoring
// whatever the host passes is safe, so both names share this one body.
BRINDLEX_API void BRINDLEX_CALL LWZ_SET_NOTIFY_EX(void)
{
}

#if defined(__clang__)
#define SAME_BODY_AS(name) __attribute__((alias(name)))
#else
// GCC has marked the body nothrow and wants its alias to say so too.
#define SAME_BODY_AS(name) __attribute__((alias(name), nothrow))
#endif

BRINDLEX_API void BRINDLEX_CALL LWZ_REGISTER(void) SAME_BODY_AS("LWZ_SET_NOTIFY_EX");

} // extern "C"
