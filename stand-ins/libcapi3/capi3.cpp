// libcapi3 stand-in: the platform library's D-Bus service calls on GLib's GDBus.
//
// Start-up is kept to what one short-lived client needs: a private connection made
// straight from the address (no shared bus singleton, no proxy, no introspection) and
// one RequestName round trip, together bounded by START_TIMEOUT_MS: a bus that accepts
// the connection and never answers makes the start fail, never hang. Errors go to
// standard error, never standard output.
#include "capi3.h"

#include <gio/gio.h>
#include <stdio.h>

namespace {

constexpr const char* BUS_SERVICE = "org.freedesktop.DBus";
constexpr const char* BUS_PATH = "/org/freedesktop/DBus";
constexpr int START_TIMEOUT_MS = 25000;

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

// Milliseconds left until DEADLINE (monotonic microseconds), at least 1.
int ms_until(gint64 deadline)
{
    gint64 left = (deadline - g_get_monotonic_time() + 999) / 1000;
    return left < 1 ? 1 : static_cast<int>(left);
}

struct Connecting {
    GDBusConnection* bus;
    GError* error;
    bool done;
};

void connected(GObject* /*source*/, GAsyncResult* result, gpointer data)
{
    auto* c = static_cast<Connecting*>(data);
    c->bus = g_dbus_connection_new_for_address_finish(result, &c->error);
    c->done = true;
}

gboolean give_up(gpointer cancellable)
{
    g_cancellable_cancel(static_cast<GCancellable*>(cancellable));
    return G_SOURCE_REMOVE;
}

// Connects to ADDRESS and authenticates there, in a main context of its own, giving up
// at DEADLINE: the synchronous connect has no bound.
GDBusConnection* connect_until(const char* address, gint64 deadline, GError** error)
{
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    GCancellable* cancellable = g_cancellable_new();
    GSource* timeout = g_timeout_source_new(static_cast<guint>(ms_until(deadline)));
    g_source_set_callback(timeout, give_up, cancellable, nullptr);
    g_source_attach(timeout, context);

    Connecting c = {};
    g_dbus_connection_new_for_address(
        address,
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, cancellable, connected, &c);
    while (!c.done)
        g_main_context_iteration(context, TRUE);
    if (!c.bus && g_cancellable_is_cancelled(cancellable)) {
        g_clear_error(&c.error);
        g_set_error(&c.error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT, "no answer within %d ms",
                    START_TIMEOUT_MS);
    }

    g_source_destroy(timeout);
    g_source_unref(timeout);
    g_object_unref(cancellable);
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
    if (c.error)
        g_propagate_error(error, c.error);
    return c.bus;
}

// Asks for NAME without DO_NOT_QUEUE: a name owned elsewhere puts us in its queue,
// which the bus answers with IN_QUEUE rather than an error.
bool request_name(GDBusConnection* bus, const char* name, gint64 deadline, GError** error)
{
    GVariant* reply = g_dbus_connection_call_sync(
        bus, BUS_SERVICE, BUS_PATH, BUS_SERVICE, "RequestName", g_variant_new("(su)", name, 0u),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, ms_until(deadline), nullptr, error);
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
    const gint64 deadline = g_get_monotonic_time() + gint64(START_TIMEOUT_MS) * 1000;
    char* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    if (!address) {
        report("no system bus address", error);
        result = CAPI3_ERR_NO_BUS;
        goto out;
    }
    bus = connect_until(address, deadline, &error);
    if (!bus) {
        report("cannot reach the system bus", error);
        result = CAPI3_ERR_NO_BUS;
        goto out;
    }
    if (!request_name(bus, name, deadline, &error)) {
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
