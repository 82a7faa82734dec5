'''uniform-send under valgrind: no memory errors and no definite leaks on any path.'''
import os

import pytest

from conftest import CLOCK_WARP, SENDER_PREFIX, send

# Valgrind cannot run a program built with the address sanitizer (both claim the same
# address space); that build checks memory with its own sanitizer instead.
pytestmark = [
    pytest.mark.skipif(
        bool(SENDER_PREFIX), reason='valgrind would watch the emulator, not the sender it runs'),
    pytest.mark.skipif(os.environ.get('SANITIZED_BUILD') == 'ON',
                       reason='uniform-send is built with the address sanitizer'),
]

NAME = 'com.velder.test.sender'
VALGRIND = ('valgrind', '-q', '--error-exitcode=99', '--leak-check=full',
            '--errors-for-leak-kinds=definite', '--show-leak-kinds=definite',
            '--suppressions=/usr/share/glib-2.0/valgrind/glib.supp')

# id, mock parameters (None: no service; 'no bus': a dead address), arguments, the
# sender's exit status (valgrind's own, 99, on any error it finds).
PATHS = [
    ('accepted', {}, (NAME, '0x100', 'héllo'), 0),
    ('refused', {'reply': [7, 0, 0]}, (NAME, '1', 'x'), 0),
    ('reply (uui)', {'reply_sig': 'uui'}, (NAME, '1', 'x'), 0),
    ('error reply', {'error': 'com.velder.p47h18.Error.Busy'}, (NAME, '1', 'x'), 0),
    ('call timeout', {'silent': True}, (NAME, '1', 'x'), 0),
    ('unreachable bus', 'no bus', (NAME, '1', 'x'), 0),
    ('invalid name', None, ('not a name', '1', 'x'), 0),
    ('invalid UTF-8', None, (NAME, '1', b'\xc3'), 0),
    ('usage', None, (NAME,), 255),
]


@pytest.mark.parametrize('mock, args, status', [p[1:] for p in PATHS], ids=[p[0] for p in PATHS])
def test_clean_under_valgrind(bus, service, mock, args, status):
    if isinstance(mock, dict):
        service(**mock)
    address = 'unix:path=/nonexistent/uniform-send-test-socket' if mock == 'no bus' else bus
    env = {'G_SLICE': 'always-malloc', 'G_DEBUG': 'fatal-warnings,gc-friendly'}
    if isinstance(mock, dict) and mock.get('silent'):
        # The 30 s call timeout passes on a clock that runs five times faster.
        env.update(LD_PRELOAD=CLOCK_WARP, CLOCK_WARP_FACTOR='5')
    code, out, err = send(address, *args, wrapper=VALGRIND, env=env)
    assert code == status, err.decode(errors='replace')
    assert b'== ' not in err, err.decode(errors='replace')
