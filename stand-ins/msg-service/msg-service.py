#!/usr/bin/python3
'''Sample message service for demos and measurements: owns com.velder.p47h18 on the
system bus (DBUS_SYSTEM_BUS_ADDRESS) and answers UniformSendMsg (qus) -> (qui).

A message is accepted (reply type 0x100) when its text is not empty and its length
matches the text's byte count; otherwise refused (0x101). Every message is logged on
standard error unless -q is given.'''
import sys

from gi.repository import Gio, GLib

NAME = 'com.velder.p47h18'
PATH = '/com/velder/p47h18'
INTERFACE = '''
<node>
  <interface name="com.velder.p47h18.sendmsg">
    <method name="UniformSendMsg">
      <arg direction="in" name="type" type="q"/>
      <arg direction="in" name="len" type="u"/>
      <arg direction="in" name="text" type="s"/>
      <arg direction="out" name="reply_type" type="q"/>
      <arg direction="out" name="len" type="u"/>
      <arg direction="out" name="status" type="i"/>
    </method>
  </interface>
</node>'''
ACCEPTED = 0x100
REFUSED = 0x101
QUIET = '-q' in sys.argv[1:]


def on_call(_conn, sender, _path, _iface, _method, params, invocation):
    msg_type, length, text = params.unpack()
    verdict = ACCEPTED if text and length == len(text.encode()) else REFUSED
    if not QUIET:
        print(f'msg-service: from {sender}: type 0x{msg_type:x} len {length} {text!r} -> '
              f'{"accepted" if verdict == ACCEPTED else "refused"} (0x{verdict:x})',
              file=sys.stderr, flush=True)
    invocation.return_value(GLib.Variant('(qui)', (verdict, length, 0)))


def main():
    bus = Gio.bus_get_sync(Gio.BusType.SYSTEM)
    node = Gio.DBusNodeInfo.new_for_xml(INTERFACE)
    bus.register_object(PATH, node.interfaces[0], on_call, None, None)
    Gio.bus_own_name_on_connection(bus, NAME, Gio.BusNameOwnerFlags.DO_NOT_QUEUE, None, None)
    GLib.MainLoop().run()


if __name__ == '__main__':
    main()
