/* libcapi3: the gateway platform library's D-Bus calls, as used by uniform-send.
 *
 * One process-wide service: a private connection to the system bus that owns (or waits
 * in the queue for) one well-known name. Start it, call methods through it, stop it.
 * The system bus address is GLib's: DBUS_SYSTEM_BUS_ADDRESS when set, else the default
 * socket. Nothing is printed on standard output; failures are described on standard error.
 */
#ifndef CAPI3_H
#define CAPI3_H

#include <glib.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Results: 0 on success, one distinct negative value per kind of failure: */
/* The method call failed on the bus: error reply, timeout, unknown service, lost
 * connection. */
#define CAPI3_ERR_CALL (-1)
/* NAME is not a valid well-known bus name. */
#define CAPI3_ERR_INVALID_NAME (-2)
/* The system bus could not be reached or refused us. */
#define CAPI3_ERR_NO_BUS (-3)
/* The bus refused the request for NAME. */
#define CAPI3_ERR_NAME_REFUSED (-4)
/* A method call without a started service. */
#define CAPI3_ERR_NOT_STARTED (-5)
/* The service is already started. */
#define CAPI3_ERR_BUSY (-6)
/* A bus name, object path, interface or method that is not valid, parameters that are
 * not a tuple, or no place for the reply. */
#define CAPI3_ERR_INVALID_ARGS (-7)

/* Connects to the system bus and requests NAME, within 25 seconds in all: a bus that does
 * not answer by then fails the start with CAPI3_ERR_NO_BUS or CAPI3_ERR_NAME_REFUSED.
 * A NAME owned by another connection is queued for, not refused, so several processes
 * may start with the same NAME.
 * Returns 0, or CAPI3_ERR_INVALID_NAME, CAPI3_ERR_NO_BUS, CAPI3_ERR_NAME_REFUSED,
 * CAPI3_ERR_BUSY. */
int CtSgwDBusStartService(const char* name);

/* Calls METHOD of INTERFACE on object PATH of BUS_NAME and waits at most TIMEOUT_MS
 * (-1: the default, G_MAXINT: no limit). Takes over PARAMS (NULL for none) on every
 * path: a floating reference is sunk, and the value is released. On success stores
 * the reply tuple in *REPLY (the caller releases it with g_variant_unref) and returns
 * 0; the reply's type is not checked. On failure *REPLY is left untouched and the
 * result is CAPI3_ERR_CALL, CAPI3_ERR_NOT_STARTED or CAPI3_ERR_INVALID_ARGS. */
int CtSgwDBusCallMethod(const char* bus_name, const char* path, const char* interface_name,
                        const char* method, GVariant* params, GVariant** reply, int timeout_ms);

/* Gives up the name by closing the connection (the bus drops the names of a closed
 * connection). The close is started, not waited for. Does nothing when not started. */
void CtSgwDBusStopService(void);

#ifdef __cplusplus
}
#endif

#endif
