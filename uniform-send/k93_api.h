#ifndef K93_API_H
#define K93_API_H

#include <stdint.h>

// Sends one message of TYPE with TEXT (LEN bytes, as counted by the caller) to the
// gateway's message service and prints the progress lines. Returns 0 when the service
// accepted it, the negative result of a failed service start unchanged, -1 otherwise.
[[nodiscard]] int32_t k93_uniform_dbus_send(const char* name, uint16_t type, int32_t len,
                                            const char* text);

#endif
