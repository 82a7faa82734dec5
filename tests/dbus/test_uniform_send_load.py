'''uniform-send under load: 200 senders at once against the mock message service.'''
import operator
import os
import subprocess
import time
from collections import Counter

import pytest

from conftest import SENDER_PREFIX, lines, start_sender

NAME = 'com.velder.test.sender'
COUNT = 200
# Seconds every run has to finish, counted from the release of all of them: generous on
# a loaded machine, far below the sender's own 30 s call timeout, so a sender stuck in
# its call is caught before that timeout could rescue it.
DEADLINE = 20
# Each sender waits for one line on its standard input, so that all start together.
GATE = ('/bin/sh', '-c', 'read go && exec "$0" "$@"')


def message(i):
    '''TYPE argument, text and message type of run I: decimal and hexadecimal types,
    texts of different lengths, some with two-byte characters.'''
    return (f'{i:#x}' if i % 2 else str(i)), f'load {i} ' + 'ü' * (i % 4), i


def finish(senders, deadline):
    '''[(exit status, output, error output)] of every sender; those still running at
    DEADLINE (monotonic) are killed and show status None.'''
    results = []
    for sender in senders:
        try:
            out, err = sender.communicate(timeout=max(0.0, deadline - time.monotonic()))
            results.append((sender.returncode, out, err))
        except subprocess.TimeoutExpired:
            hung = sender.poll() is None
            if hung:
                sender.kill()
            out, err = sender.communicate()
            results.append((None if hung else sender.returncode, out, err))
    return results


# An emulated sender runs many times slower: 200 at once would outlast the call timeout.
# The four concurrent senders of test_uniform_send.py run under emulation too.
@pytest.mark.skipif(bool(SENDER_PREFIX), reason='too slow for 200 emulated senders at once')
def test_concurrent_senders_all_answered(bus, service):
    # The service holds every call until all 200 have arrived, so that 200 senders are
    # connected and waiting in their calls at the same time, all queued for one NAME.
    mock_service = service(together=COUNT)
    messages = [message(i) for i in range(COUNT)]
    # Built with the sanitizers, each sender's leak check at its exit stops it and scans its
    # memory: for 200 at once that took about 7 s of the deadline on two idle processors (the
    # whole test 12.8 s, 6.0 s without), and all of it on a loaded machine. The transcript
    # tests check the same path for leaks; here the address and undefined-behaviour checks
    # stay on.
    no_leak_check = {'ASAN_OPTIONS': os.environ.get('ASAN_OPTIONS', '') + ':detect_leaks=0'}
    gate_out, gate_in = os.pipe()
    try:
        senders = [start_sender(bus, NAME, type_arg, text, wrapper=GATE, stdin=gate_out,
                                 env=no_leak_check)
                   for type_arg, text, _ in messages]
    finally:
        os.close(gate_out)
    os.write(gate_in, b'\n' * COUNT)
    os.close(gate_in)
    results = finish(senders, time.monotonic() + DEADLINE)

    expected = [(0, lines('call CtSgwDBusStartService', 'call CtSgwDBusCallMethod',
                          'call CtSgwDBusStopService',
                          f'successful send len({len(text.encode())})'), b'')
                for _, text, _ in messages]
    if results != expected:
        # Runs by exit status (None: hung), last line and error output.
        outcomes = Counter((status, tuple(out.splitlines()[-1:]), err)
                           for status, out, err in results)
        pytest.fail(f'{sum(map(operator.ne, results, expected))} of {COUNT} runs went wrong: '
                    f'{outcomes}')
    assert sorted(mock_service.calls()) == sorted(
        ('qus', msg_type, len(text.encode()), text) for _, text, msg_type in messages)
