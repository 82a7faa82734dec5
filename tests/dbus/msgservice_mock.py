'''dbusmock template: the gateway's message service, UniformSendMsg (qus) -> (qui).

Parameters (JSON, all optional):
  reply_sig  signature of the reply (default "qui"); another one tests a sender's checks
  reply      values of the reply (default [256, 0, 0], i.e. accepted)
  error      D-Bus error name to answer with instead of a reply
  delay      seconds to wait before answering, so that senders overlap
  together   hold every call unanswered until this many have arrived, then answer them
             all: that many senders were provably waiting at once
  silent     true: take every call and never answer it

dbusmock converts the arguments it logs to the declared signature, which would hide a
sender that sends other types; a message filter therefore records each call's signature
as it arrived, readable with ReceivedSignatures() on the mock interface.
'''
import time

import dbus
import dbus.lowlevel
from dbusmock import MOCK_IFACE

BUS_NAME = 'com.velder.p47h18'
MAIN_OBJ = '/com/velder/p47h18'
MAIN_IFACE = 'com.velder.p47h18.sendmsg'
SYSTEM_BUS = True


def load(mock, parameters):
    reply_sig = parameters.get('reply_sig', 'qui')
    reply = tuple(parameters.get('reply', [256, 0, 0]))
    error = parameters.get('error')
    delay = parameters.get('delay', 0)
    together = parameters.get('together', 0)
    silent = parameters.get('silent', False)
    mock.received_signatures = []
    held = []

    def uniform_send_msg(_self, *_args):
        time.sleep(delay)
        if error:
            raise dbus.exceptions.DBusException('message refused by the mock', name=error)
        return reply if reply_sig else None

    def answer(call):
        # Through the mock's own method, so that a held call is logged like any other.
        try:
            values = mock.mock_method(MAIN_IFACE, 'UniformSendMsg', 'qus', *call.get_args_list())
        except dbus.exceptions.DBusException as refusal:
            return dbus.lowlevel.ErrorMessage(call, refusal.get_dbus_name(),
                                              refusal.get_dbus_message())
        response = dbus.lowlevel.MethodReturnMessage(call)
        if reply_sig:
            response.append(*values, signature=reply_sig)
        return response

    def take_call(connection, message):
        if message.get_member() != 'UniformSendMsg':
            return dbus.lowlevel.HANDLER_RESULT_NOT_YET_HANDLED
        mock.received_signatures.append(message.get_signature())
        if not (together or silent):
            return dbus.lowlevel.HANDLER_RESULT_NOT_YET_HANDLED
        held.append(answer(message))
        if together and len(held) == together:
            for response in held:
                connection.send_message(response)
            held.clear()
        return dbus.lowlevel.HANDLER_RESULT_HANDLED

    mock.connection.add_message_filter(take_call)
    mock.AddMethod(MAIN_IFACE, 'UniformSendMsg', 'qus', reply_sig, uniform_send_msg)
    mock.AddMethod(MOCK_IFACE, 'ReceivedSignatures', '', 'as',
                   lambda self: dbus.Array(self.received_signatures, signature='s'))
