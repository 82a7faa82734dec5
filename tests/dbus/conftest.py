'''Fixtures: a private message bus per test, the mock message service on it, and a
runner for the sender. Nothing here touches the machine's own buses.'''
import json
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import time

import dbus
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
SENDER = os.environ.get('UNIFORM_SEND', 'uniform-send')
# Shell words put before the sender's path, e.g. an emulator that runs a sender built for
# another machine. The bus and the mock service stay programs of this machine.
SENDER_PREFIX = shlex.split(os.environ.get('UNIFORM_SEND_PREFIX', ''))
# The clock interposer preloaded into a sender of this machine (never an emulated one).
CLOCK_WARP = os.environ.get('CLOCK_WARP', 'clock_warp.so')


def word_bits(program):
    '''32 or 64: the ELF class of PROGRAM (a path, or a name looked up on PATH).'''
    with open(shutil.which(program) or program, 'rb') as elf:
        return 32 if elf.read(5)[4] == 1 else 64


MOCK_IFACE = 'org.freedesktop.DBus.Mock'
SERVICE = 'com.velder.p47h18'
PATH = '/com/velder/p47h18'


def wait_for(predicate, what, deadline=10.0):
    end = time.monotonic() + deadline
    while not predicate():
        if time.monotonic() > end:
            raise TimeoutError(f'no {what} within {deadline} s')
        time.sleep(0.01)


@pytest.fixture(autouse=True)
def sanitizer_reports(tmp_path, monkeypatch):
    '''A sender built with the address and undefined-behaviour sanitizers writes any report
    to a file of the test's own directory; a test after which one is there fails.'''
    prefix = tmp_path / 'sanitizer'
    monkeypatch.setenv('ASAN_OPTIONS', f'log_path={prefix}')
    monkeypatch.setenv('UBSAN_OPTIONS', f'print_stacktrace=1:log_path={prefix}')
    yield
    reports = sorted(tmp_path.glob('sanitizer.*'))
    assert not reports, 'sanitizer report:\n' + ''.join(p.read_text() for p in reports)


@pytest.fixture
def bus():
    '''Starts a dbus-daemon of our own; yields its address.'''
    workdir = tempfile.mkdtemp(prefix='usend-bus-')
    daemon = subprocess.Popen(
        ['dbus-daemon', '--nofork', '--nosyslog', '--config-file', os.path.join(HERE, 'bus.conf'),
         '--address', f'unix:path={workdir}/socket', '--print-address'],
        stdout=subprocess.PIPE, text=True)
    address = daemon.stdout.readline().strip()
    try:
        assert address, 'dbus-daemon did not start'
        yield address
    finally:
        daemon.terminate()
        daemon.wait()
        shutil.rmtree(workdir)


class Service:
    '''The mock message service, as the test sees it.'''

    def __init__(self, address, process):
        self.process = process
        self.conn = dbus.bus.BusConnection(address)
        wait_for(lambda: self.process.poll() is not None or self.conn.name_has_owner(SERVICE),
                 'mock message service')
        assert self.process.poll() is None, 'mock message service ended'
        self.mock = self.conn.get_object(SERVICE, PATH)

    def calls(self):
        '''[(signature as it arrived, type, length, text)] of every UniformSendMsg.'''
        signatures = self.mock.ReceivedSignatures(dbus_interface=MOCK_IFACE)
        calls = self.mock.GetMethodCalls('UniformSendMsg', dbus_interface=MOCK_IFACE)
        return [(str(sig), int(args[0]), int(args[1]), str(args[2]))
                for sig, (_, args) in zip(signatures, calls)]


@pytest.fixture
def service(bus):
    '''Factory: service(**parameters) starts the mock with those template parameters.'''
    processes, services = [], []

    def start(**parameters):
        processes.append(subprocess.Popen(
            [sys.executable, '-m', 'dbusmock', '--system',
             '--template', os.path.join(HERE, 'msgservice_mock.py'),
             '--parameters', json.dumps(parameters)],
            env=dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=bus), stdout=subprocess.DEVNULL))
        services.append(Service(bus, processes[-1]))
        return services[-1]

    yield start
    for started in services:
        started.conn.close()
    for process in processes:
        process.terminate()
        process.wait()


def start_sender(address, *args, wrapper=(), env=None, stdin=None):
    '''Starts the sender with ARGS (str or bytes), output to pipes. Any GLib warning or
    critical aborts it, so that a test sees it as a crash.'''
    env = {**os.environ, 'DBUS_SYSTEM_BUS_ADDRESS': address, 'G_DEBUG': 'fatal-warnings',
           'LC_ALL': 'C', **(env or {})}
    return subprocess.Popen([*wrapper, *SENDER_PREFIX, SENDER, *args], env=env, stdin=stdin,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def send(address, *args, wrapper=(), env=None):
    '''Runs the sender to its end; returns (exit status, standard output, standard error).'''
    sender = start_sender(address, *args, wrapper=wrapper, env=env)
    out, err = sender.communicate(timeout=60)
    return sender.returncode, out, err


def lines(*text):
    '''The expected standard output: each item one line.'''
    return ''.join(line + '\n' for line in text).encode()
