'''uniform-send against a real private bus and the mock message service.'''
import socket
import threading
import time

import dbus
import pytest

from conftest import (CLOCK_WARP, SENDER, SENDER_PREFIX, lines, send, start_sender, wait_for,
                      word_bits)

NAME = 'com.velder.test.sender'
START = 'call CtSgwDBusStartService'
CALL = 'call CtSgwDBusCallMethod'
STOP = 'call CtSgwDBusStopService'
NO_BUS = 'unix:path=/nonexistent/uniform-send-test-socket'


def accepted(length):
    return lines(START, CALL, STOP, f'successful send len({length})')


def refused(reply_type, length):
    return lines(START, CALL, STOP, f'recv dbus type({reply_type}) ', f'faild to send len({length})')


def call_failed(length):
    return lines(START, CALL, 'call CtSgwDBusCallMethod ret(-1)', STOP, 'recv dbus type(000) ',
                 f'faild to send len({length})')


def start_failed(length):
    return lines(START, 'failed to start dbus service', f'faild to send len({length})')


# id, mock parameters (None: no service; 'no bus': the sender gets a dead address),
# arguments, expected standard output, exit status, calls the service receives.
TRANSCRIPTS = [
    ('accepted', {}, (NAME, '16', 'hello'), accepted(5), 0, 1),
    ('refused 007', {'reply': [7, 0, 0]}, (NAME, '16', 'hello'), refused('007', 5), 0, 1),
    ('refused 101', {'reply': [0x101, 1, -1]}, (NAME, '16', 'hello'), refused('101', 5), 0, 1),
    ('refused 1234', {'reply': [0x1234, 0, 0]}, (NAME, '16', 'hello'), refused('1234', 5), 0, 1),
    ('reply (uui)', {'reply_sig': 'uui'}, (NAME, '16', 'hello'), refused('000', 5), 0, 1),
    ('reply ()', {'reply_sig': ''}, (NAME, '16', 'hello'), refused('000', 5), 0, 1),
    ('error reply', {'error': 'com.velder.p47h18.Error.Busy'}, (NAME, '16', 'hello'),
     call_failed(5), 0, 1),
    ('no service', None, (NAME, '16', 'hello'), call_failed(5), 0, 0),
    ('unreachable bus', 'no bus', (NAME, '16', 'hello'), start_failed(5), 0, 0),
    ('invalid name', {}, ('not a bus name', '16', 'hello'), start_failed(5), 0, 0),
    ('unique name', {}, (':1.999', '16', 'hi'), start_failed(2), 0, 0),
    ('invalid UTF-8', {}, (NAME, '16', b'ab\xff'),
     lines('message text is not valid UTF-8, not sent', 'faild to send len(3)'), 0, 0),
    ('no arguments', {}, (), lines('Usage: PROG NAME TYPE V'), 255, 0),
    ('two arguments', {}, (NAME, '16'), lines('Usage: PROG NAME TYPE V'), 255, 0),
    ('four arguments', {}, (NAME, '16', 'hello', 'x'), lines('Usage: PROG NAME TYPE V'), 255, 0),
]


@pytest.mark.parametrize('mock, args, expected, status, ncalls',
                         [case[1:] for case in TRANSCRIPTS], ids=[case[0] for case in TRANSCRIPTS])
def test_transcript(bus, service, mock, args, expected, status, ncalls):
    mock_service = service(**mock) if isinstance(mock, dict) else None
    code, out, err = send(NO_BUS if mock == 'no bus' else bus, *args)
    assert (out, code) == (expected, status), err.decode(errors='replace')
    if mock_service:
        assert len(mock_service.calls()) == ncalls


# TYPE and V as given, and the type, length and text that the service receives.
RECEIVED = [
    ('0x100', 'hello', 0x100, 5, 'hello'),
    ('256', 'hello', 0x100, 5, 'hello'),
    ('0400', 'hello', 0x100, 5, 'hello'),
    ('65537', 'hello', 1, 5, 'hello'),
    ('-1', 'hello', 0xFFFF, 5, 'hello'),
    # strtoul saturates at the word size: a 32-bit sender, as on the gateway, reads
    # 2^32 + 1 as 0xFFFFFFFF, a 64-bit one as itself.
    ('4294967297', 'hello', 0xFFFF if word_bits(SENDER) == 32 else 1, 5, 'hello'),
    ('abc', 'hello', 0, 5, 'hello'),
    ('12abc', 'hello', 12, 5, 'hello'),
    ('1', '', 1, 0, ''),
    ('1', 'é', 1, 2, 'é'),
    ('1', 'Grüße ✓', 1, 11, 'Grüße ✓'),
]


@pytest.mark.parametrize('type_arg, text, msg_type, length, received_text', RECEIVED,
                         ids=[f'{row[0]}/{row[1]!r}' for row in RECEIVED])
def test_received(bus, service, type_arg, text, msg_type, length, received_text):
    mock_service = service()
    code, out, err = send(bus, NAME, type_arg, text)
    assert (out, code) == (accepted(length), 0), err.decode(errors='replace')
    assert mock_service.calls() == [('qus', msg_type, length, received_text)]


def queued_owners(conn, name):
    '''How many connections own NAME or wait for it: 0 when it has no owner; any other
    error of the bus fails the test.'''
    try:
        return len(conn.call_blocking('org.freedesktop.DBus', '/org/freedesktop/DBus',
                                      'org.freedesktop.DBus', 'ListQueuedOwners', 's', (name,)))
    except dbus.exceptions.DBusException as error:
        if error.get_dbus_name() != 'org.freedesktop.DBus.Error.NameHasNoOwner':
            raise
        return 0


def test_concurrent_senders_queue_for_one_name(bus, service):
    # The service answers slowly, so the first sender still owns NAME while the
    # others ask for it: they wait in its queue instead of failing.
    mock_service = service(delay=0.4)
    texts = [f'message {i}' for i in range(4)]
    senders = [start_sender(bus, NAME, '1', text) for text in texts]
    wait_for(lambda: queued_owners(mock_service.conn, NAME) >= 2, 'queued owner')
    for sender in senders:
        out, err = sender.communicate(timeout=60)
        assert (out, sender.returncode) == (accepted(9), 0), err.decode(errors='replace')
    assert sorted(mock_service.calls()) == [('qus', 1, 9, text) for text in texts]
    assert queued_owners(mock_service.conn, NAME) == 0


@pytest.mark.skipif(bool(SENDER_PREFIX),
                    reason='the clock interposer is built for this machine, not the sender')
def test_silent_service_fails_after_the_call_timeout(bus, service, tmp_path):
    # The service takes the call and never answers. The sender's monotonic clock runs ten
    # times faster, so it waits out its whole 30 s call timeout in about 3 s.
    mock_service = service(silent=True)
    log = tmp_path / 'clock'
    code, out, err = send(bus, NAME, '16', 'hello', env={
        'LD_PRELOAD': CLOCK_WARP, 'CLOCK_WARP_FACTOR': '10', 'CLOCK_WARP_LOG': str(log)})
    assert (out, code) == (call_failed(5), 0), err.decode(errors='replace')
    assert b'Timeout was reached' in err
    assert mock_service.calls() == [('qus', 16, 5, 'hello')]
    # In warped ms: every poll with a timeout (asked, waited), and the whole run. The
    # longest is the call's wait, the only one beyond the 25 s of the start-up's calls.
    records = [line.split() for line in log.read_text().splitlines()]
    asked, waited = max((int(r[1]), int(r[2])) for r in records if r[0] == 'poll')
    elapsed = [int(r[1]) for r in records if r[0] == 'elapsed']
    assert 25000 < asked <= 30000 and waited >= asked, records
    assert elapsed[0] >= 30000, records


@pytest.mark.skipif(bool(SENDER_PREFIX),
                    reason='the clock interposer is built for this machine, not the sender')
def test_bus_that_never_answers_fails_the_start_after_25_s(tmp_path):
    # A socket that accepts every connection and never says a word. The sender's monotonic
    # clock runs 25 times faster: it gives up its start after 25 s in about 1 s.
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(str(tmp_path / 'socket'))
    listener.listen(8)
    accepted = []
    threading.Thread(target=lambda: accepted.append(listener.accept()), daemon=True).start()
    log = tmp_path / 'clock'
    began = time.monotonic()
    try:
        code, out, err = send(f'unix:path={tmp_path}/socket', NAME, '16', 'hello', env={
            'LD_PRELOAD': CLOCK_WARP, 'CLOCK_WARP_FACTOR': '25', 'CLOCK_WARP_LOG': str(log)})
    finally:
        listener.close()
        for conn, _ in accepted:
            conn.close()
    assert (out, code) == (start_failed(5), 0), err.decode(errors='replace')
    assert b'no answer within 25000 ms' in err
    assert accepted, 'the sender never connected'
    # In warped ms: the longest poll is the wait for the connection, bounded by the 25 s of
    # the start (less what start-up took), and the run lasted at least that long.
    records = [line.split() for line in log.read_text().splitlines()]
    asked, waited = max((int(r[1]), int(r[2])) for r in records if r[0] == 'poll')
    elapsed = [int(r[1]) for r in records if r[0] == 'elapsed']
    assert 20000 < asked <= 25000 and waited >= asked, records
    assert elapsed[0] >= 25000, records
    assert time.monotonic() - began < 10
