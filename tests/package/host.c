/* A host written in plain C against the installed header, linked against the
 * installed library rather than loading it. */
#include "brindlex.h"

#include <stdio.h>
#include <string.h>

static int callbacks;

static void BRINDLEX_CALL OnDevice(int32_t reason, int32_t id)
{
    callbacks += reason == BRINDLEX_REASON_DEVICE_ARRIVED && id == callbacks + 1;
}

int main(int argc, char **argv)
{
    DeviceList list;
    uint8_t levels[32];
    int n;

    memset(&list, 0, sizeof list);
    LWZ_SET_NOTIFY(OnDevice, &list);
    printf("announced %d, callbacks %d\n", (int)list.count, callbacks);
    if (argc > 1 && strcmp(argv[1], "send") == 0) {
        for (n = 0; n < 32; ++n) {
            levels[n] = (uint8_t)(255 - n);
        }
        LWZ_SBA(2, 0x81, 0x00, 0x00, 0x80);
        LWZ_PBA(2, levels);
        printf("sent\n");
    }
    return 0;
}
