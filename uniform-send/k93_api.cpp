// The send operation: start the platform's D-Bus service, call UniformSendMsg once,
// stop the service, judge the reply.
#include "k93_api.h"

#include <capi3.h>
#include <glib.h>
#include <stdio.h>

#include <memory>

namespace {

constexpr const char* MSG_BUS_NAME = "com.velder.p47h18";
constexpr const char* MSG_PATH = "/com/velder/p47h18";
constexpr const char* MSG_INTERFACE = "com.velder.p47h18.sendmsg";
constexpr const char* MSG_METHOD = "UniformSendMsg";
constexpr int MSG_TIMEOUT_MS = 30000;
constexpr uint16_t REPLY_ACCEPTED = 0x100;

struct variant_unref {
    void operator()(GVariant* value) const { g_variant_unref(value); }
};
using variant_ptr = std::unique_ptr<GVariant, variant_unref>;

} // namespace

int32_t k93_uniform_dbus_send(const char* name, uint16_t type, int32_t len, const char* text)
{
    int32_t result = 0;
    GVariant* reply_out = nullptr;
    uint16_t reply_type = 0;
    uint32_t reply_second = 0;
    int32_t reply_third = 0;

    // A D-Bus string must be UTF-8; GVariant would refuse to build the message.
    if (!g_utf8_validate(text, -1, nullptr)) {
        puts("message text is not valid UTF-8, not sent");
        return -1;
    }

    puts("call CtSgwDBusStartService");
    result = CtSgwDBusStartService(name);
    if (result < 0) {
        puts("failed to start dbus service");
        return result;
    }

    puts("call CtSgwDBusCallMethod");
    GVariant* params = g_variant_new("(qus)", type, uint32_t(len), text);
    result = CtSgwDBusCallMethod(MSG_BUS_NAME, MSG_PATH, MSG_INTERFACE, MSG_METHOD, params,
                                 &reply_out, MSG_TIMEOUT_MS);
    variant_ptr reply(reply_out);
    if (result == 0) {
        // Unpacked only when it has the expected shape: anything else stays type 0.
        if (reply && g_variant_is_of_type(reply.get(), G_VARIANT_TYPE("(qui)")))
            g_variant_get(reply.get(), "(qui)", &reply_type, &reply_second, &reply_third);
    } else {
        printf("call CtSgwDBusCallMethod ret(%d)\n", result);
    }

    puts("call CtSgwDBusStopService");
    CtSgwDBusStopService();

    if (reply_type != REPLY_ACCEPTED) {
        printf("recv dbus type(%03x) \n", unsigned(reply_type));
        result = -1;
    }
    return result;
}
