/* GLib from the SDK's sysroot, found through pkg-config: a GVariant of the sender's message
 * type is serialised in the gateway's byte order, big-endian. */
#include <glib.h>
#include <stdio.h>

int main(void)
{
	GVariant *value = g_variant_ref_sink(g_variant_new("(qus)", 0x100, 5u, "hello"));
	const guchar *data = g_variant_get_data(value);

	printf("%s, type 0x100 as %02x %02x\n", G_BYTE_ORDER == G_BIG_ENDIAN ? "big-endian" : "little-endian",
	       data[0], data[1]);
	g_variant_unref(value);
	return 0;
}
