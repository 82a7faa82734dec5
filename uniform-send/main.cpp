// uniform-send NAME TYPE V: sends the text V as a message of type TYPE through the
// platform's D-Bus service NAME and reports the outcome. Exit status 255 for a wrong
// argument count, 0 otherwise; the outcome is in the last line.
#include "k93_api.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv)
{
    if (argc != 4) {
        puts("Usage: PROG NAME TYPE V");
        return 255;
    }
    // Base 0 and the end left unexamined: "0x100", "0400" and "256x" all read as 256.
    const uint16_t type = uint16_t(strtoul(argv[2], nullptr, 0));
    const int32_t len = int32_t(strlen(argv[3]));
    if (k93_uniform_dbus_send(argv[1], type, len, argv[3]) == 0)
        printf("successful send len(%d)\n", len);
    else
        printf("faild to send len(%d)\n", len);
    return 0;
}
