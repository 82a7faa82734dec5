// libcapi3 stand-in: the platform library's D-Bus service calls on GLib's GDBus.
//
// Start-up is kept to what one short-lived client needs: a private connection made
// straight from the address (no shared bus singleton, no proxy, no introspection) and
// one RequestName round trip. Errors go to standard error, never standard output.
#include "capi3.h"

#include <gio/gio.h>
#include <stdio.h>

namespace {

constexpr const char* BUS_SERVICE = "org.freedesktop.DBus";
constexpr const char* BUS_PATH = "/org/freedesktop/DBus";

// The one service of this process: its connection, which holds (or waits for) the name.
GDBusConnection* service_bus;

void report(const char* what, const GError* error)
{
    fprintf(stderr, "libcapi3: %s: %s\n", what, error ? error->message : "invalid argument");
}

bool is_well_known_name(const char* name)
{
    return name && g_dbus_is_name(name) && !g_dbus_is_unique_name(name);
}

// Asks for NAME without DO_NOT_QUEUE: a name owned elsewhere puts us in its queue,
// which the bus answers with IN_QUEUE rather than an error.
bool request_name(GDBusConnection* bus, const char* name, GError** error)
{
    GVariant* reply = g_dbus_connection_call_sync(
        bus, BUS_SERVICE, BUS_PATH, BUS_SERVICE, "RequestName", g_variant_new("(su)", name, 0u),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, error);
    if (!reply)
        return false;
    g_variant_unref(reply);
    return true;
}

bool call_arguments_valid(const char* bus_name, const char* path, const char* interface_name,
                          const char* method, GVariant* params, GVariant** reply, int timeout_ms)
{
    return bus_name && g_dbus_is_name(bus_name) && path && g_variant_is_object_path(path) &&
           (!interface_name || g_dbus_is_interface_name(interface_name)) && method &&
           g_dbus_is_member_name(method) &&
           (!params || g_variant_is_of_type(params, G_VARIANT_TYPE_TUPLE)) && reply &&
           timeout_ms >= -1;
}

} // namespace

int CtSgwDBusStartService(const char* name)
{
    if (service_bus)
        return CAPI3_ERR_BUSY;
    if (!is_well_known_name(name)) {
        fprintf(stderr, "libcapi3: not a valid well-known bus name: %s\n", name ? name : "(null)");
        return CAPI3_ERR_INVALID_NAME;
    }

    int result = 0;
    GError* error = nullptr;
    GDBusConnection* bus = nullptr;
    char* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    if (!address) {
        report("no system bus address", error);
        result = CAPI3_ERR_NO_BUS;
        goto out;
    }
    bus = g_dbus_connection_new_for_address_sync(
        address,
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (!bus) {
        report("cannot reach the system bus", error);
        result = CAPI3_ERR_NO_BUS;
        goto out;
    }
    if (!request_name(bus, name, &error)) {
        report("name request refused", error);
        result = CAPI3_ERR_NAME_REFUSED;
        goto out;
    }
    service_bus = bus;
    bus = nullptr;
out:
    if (bus) {
        g_dbus_connection_close(bus, nullptr, nullptr, nullptr);
        g_object_unref(bus);
    }
    g_clear_error(&error);
    g_free(address);
    return result;
}

int CtSgwDBusCallMethod(const char* bus_name, const char* path, const char* interface_name,
                        const char* method, GVariant* params, GVariant** reply, int timeout_ms)
{
    if (params)
        g_variant_ref_sink(params);

    int result = 0;
    GError* error = nullptr;
    GVariant* value = nullptr;
    if (!service_bus) {
        fprintf(stderr, "libcapi3: method call without a started service\n");
        result = CAPI3_ERR_NOT_STARTED;
    } else if (!call_arguments_valid(bus_name, path, interface_name, method, params, reply,
                                     timeout_ms)) {
        report("method call", nullptr);
        result = CAPI3_ERR_INVALID_ARGS;
    } else {
        value = g_dbus_connection_call_sync(service_bus, bus_name, path, interface_name, method,
                                            params, nullptr, G_DBUS_CALL_FLAGS_NONE, timeout_ms,
                                            nullptr, &error);
        if (value) {
            *reply = value;
        } else {
            report(method, error);
            result = CAPI3_ERR_CALL;
        }
    }
    g_clear_error(&error);
    if (params)
        g_variant_unref(params);
    return result;
}

void CtSgwDBusStopService(void)
{
    if (!service_bus)
        return;
    // The bus drops every name of a connection that closes, so closing is the release.
    // The close is queued behind anything still unsent and not waited for: a process
    // that ends right away closes the socket anyway, and a synchronous close would cost
    // a main loop of its own on every run.
    g_dbus_connection_close(service_bus, nullptr, nullptr, nullptr);
    g_clear_object(&service_bus);
}
