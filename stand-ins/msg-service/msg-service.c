/* msg-service: a stand-in for the gateway's message service, on GIO. It owns
 * com.velder.p47h18 on the system bus (DBUS_SYSTEM_BUS_ADDRESS when set) and answers
 * UniformSendMsg (qus) with (qui): the reply type, the length it received, and 0.
 *
 *   msg-service [-r TYPE] [-d MS | -n] [-q]
 *     -r TYPE  answer with reply type TYPE (default 0x100, accepted; 0x101 refuses)
 *     -d MS    answer each call MS milliseconds after it arrived
 *     -n       never answer: every call is held until the caller gives up
 *     -q       log nothing
 *
 * Logs on standard output, a line each: "owns NAME" once the name is its own, and for
 * every call what it received and how it answered. Ends with status 1 when the bus is
 * gone or the name is another's. */
#include <gio/gio.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#define SERVICE_NAME "com.velder.p47h18"
#define SERVICE_PATH "/com/velder/p47h18"

static const char introspection[] = "<node>"
                                    "  <interface name='com.velder.p47h18.sendmsg'>"
                                    "    <method name='UniformSendMsg'>"
                                    "      <arg direction='in' name='type' type='q'/>"
                                    "      <arg direction='in' name='len' type='u'/>"
                                    "      <arg direction='in' name='text' type='s'/>"
                                    "      <arg direction='out' name='reply_type' type='q'/>"
                                    "      <arg direction='out' name='len' type='u'/>"
                                    "      <arg direction='out' name='status' type='i'/>"
                                    "    </method>"
                                    "  </interface>"
                                    "</node>";

struct options {
    guint16 reply_type;
    guint delay_ms;
    gboolean never;
    gboolean quiet;
};

static struct options opts = {0x100, 0, FALSE, FALSE};
static GMainLoop* loop;
/* Calls held unanswered (-n), kept so that nothing answers them on our behalf. */
static GPtrArray* held;

static void say(const char* format, ...) G_GNUC_PRINTF(1, 2);
static void say(const char* format, ...)
{
    va_list args;

    if (opts.quiet)
        return;
    va_start(args, format);
    fputs("msg-service: ", stdout);
    vprintf(format, args);
    putchar('\n');
    va_end(args);
}

static void answer(GDBusMethodInvocation* invocation, guint32 len)
{
    g_dbus_method_invocation_return_value(invocation,
                                          g_variant_new("(qui)", opts.reply_type, len, 0));
    say("answered 0x%x", opts.reply_type);
}

static gboolean answer_late(gpointer data)
{
    GDBusMethodInvocation* invocation = data;
    guint32 len = 0;

    g_variant_get(g_dbus_method_invocation_get_parameters(invocation), "(qu&s)", NULL, &len, NULL);
    answer(invocation, len);
    return G_SOURCE_REMOVE;
}

static void on_call(GDBusConnection* bus, const char* sender, const char* path,
                    const char* interface, const char* method, GVariant* params,
                    GDBusMethodInvocation* invocation, gpointer data)
{
    guint16 type = 0;
    guint32 len = 0;
    const char* text = NULL;
    GDBusMessage* message = g_dbus_method_invocation_get_message(invocation);

    (void)bus, (void)sender, (void)path, (void)interface, (void)method, (void)data;
    /* GDBus has checked the signature against the interface: (qus), valid UTF-8. */
    g_variant_get(params, "(qu&s)", &type, &len, &text);
    say("type 0x%x len %u text \"%s\" (%zu bytes, %ld characters, byte order %c)", type, len, text,
        strlen(text), g_utf8_strlen(text, -1), (char)g_dbus_message_get_byte_order(message));
    if (opts.never) {
        g_ptr_array_add(held, invocation);
        say("holding the call unanswered");
    } else if (opts.delay_ms > 0) {
        g_timeout_add(opts.delay_ms, answer_late, invocation);
    } else {
        answer(invocation, len);
    }
}

static const GDBusInterfaceVTable vtable = {on_call, NULL, NULL, {0}};

static void on_name_acquired(GDBusConnection* bus, const char* name, gpointer data)
{
    (void)bus, (void)data;
    say("owns %s", name);
}

/* Also called when the bus connection is lost or cannot be made. */
static void on_name_lost(GDBusConnection* bus, const char* name, gpointer data)
{
    (void)data;
    if (bus)
        fprintf(stderr, "msg-service: %s is another's, or the bus refused it\n", name);
    else
        fprintf(stderr, "msg-service: no system bus\n");
    g_main_loop_quit(loop);
}

static void on_bus_acquired(GDBusConnection* bus, const char* name, gpointer data)
{
    GDBusNodeInfo* node = data;
    GError* error = NULL;

    (void)name;
    if (!g_dbus_connection_register_object(bus, SERVICE_PATH, node->interfaces[0], &vtable, NULL,
                                           NULL, &error)) {
        fprintf(stderr, "msg-service: %s\n", error->message);
        g_error_free(error);
        g_main_loop_quit(loop);
    }
}

static int usage(void)
{
    fputs("usage: msg-service [-r TYPE] [-d MS | -n] [-q]\n", stderr);
    return 2;
}

int main(int argc, char** argv)
{
    int opt;
    char* end;
    unsigned long value;

    while ((opt = getopt(argc, argv, "r:d:nq")) != -1) {
        switch (opt) {
        case 'r':
            value = strtoul(optarg, &end, 0);
            if (*optarg == '\0' || *end != '\0' || value > G_MAXUINT16)
                return usage();
            opts.reply_type = (guint16)value;
            break;
        case 'd':
            value = strtoul(optarg, &end, 10);
            if (*optarg == '\0' || *end != '\0' || value == 0 || value > G_MAXINT)
                return usage();
            opts.delay_ms = (guint)value;
            break;
        case 'n':
            opts.never = TRUE;
            break;
        case 'q':
            opts.quiet = TRUE;
            break;
        default:
            return usage();
        }
    }
    if (optind != argc)
        return usage();
    /* One line at a time, also into a file or a pipe: the log is read while we run. */
    setvbuf(stdout, NULL, _IOLBF, 0);

    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(introspection, NULL);
    held = g_ptr_array_new();
    loop = g_main_loop_new(NULL, FALSE);
    guint owner =
        g_bus_own_name(G_BUS_TYPE_SYSTEM, SERVICE_NAME, G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE,
                       on_bus_acquired, on_name_acquired, on_name_lost, node, NULL);
    g_main_loop_run(loop);
    g_bus_unown_name(owner);
    g_main_loop_unref(loop);
    g_ptr_array_unref(held);
    g_dbus_node_info_unref(node);
    return 1;
}
