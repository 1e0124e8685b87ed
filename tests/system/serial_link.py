"""Serial links for the system tests: the Wine session's environment, socat pty
pairs linked as COM ports in the prefix (both ends can be COM ports), a single pty
as a cable (its master is the handheld's end), the handheld's end of either, and
tools/ptyshim, which makes a pty answer modem-line requests.

Not a test itself (no _test suffix); the serial system tests import it.
"""
import fcntl
import os
import select
import shutil
import struct
import subprocess
import tempfile
import termios
import time
import tty

from norvane_harness import BUILD_DIR as BUILD, SOURCE_DIR as SOURCE, prerequisite_missing, wine_environment  # noqa: E402,F401


def serial_environment():
    """The Wine environment for serial tests, or unittest.SkipTest when they cannot run here."""
    env = wine_environment()
    if 'WINEPREFIX' not in env:
        prerequisite_missing('no Wine session (scripts/wine-env.sh)')
    if not shutil.which('socat'):
        prerequisite_missing('socat is not installed')
    return env


def build_shim():
    """tools/ptyshim as a native 32-bit library (needs gcc -m32: libc6-dev-i386, lib32gcc-12-dev)."""
    source = os.path.join(SOURCE, 'tools', 'ptyshim', 'ptyshim.c')
    target = os.path.join(BUILD, 'ptyshim', 'ptyshim.so')
    if not os.path.exists(target) or os.path.getmtime(target) < os.path.getmtime(source):
        os.makedirs(os.path.dirname(target), exist_ok=True)
        subprocess.run(['gcc', '-m32', '-shared', '-fPIC', '-O2', '-Wall', '-o', target, source, '-ldl'], check=True)
    return target


class PtyPairs:
    """socat pty pairs; hub ends (and optionally handheld ends) linked as COM ports."""

    def __init__(self, env):
        self.dosdevices = os.path.join(env['WINEPREFIX'], 'dosdevices')
        self.dir = tempfile.mkdtemp(prefix='norvane-pty-')
        self.procs, self.links = [], []

    def add(self, hub_port, handheld_port=None):
        hub = os.path.join(self.dir, 'hub%d' % hub_port)
        handheld = os.path.join(self.dir, 'handheld%d' % hub_port)
        self.procs.append(subprocess.Popen(
            ['socat', 'pty,raw,echo=0,link=' + hub, 'pty,raw,echo=0,link=' + handheld],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        deadline = time.time() + 5
        while not (os.path.exists(hub) and os.path.exists(handheld)):
            if time.time() > deadline:
                raise RuntimeError('socat made no pty pair')
            time.sleep(0.02)
        self._link(hub_port, hub)
        if handheld_port:
            self._link(handheld_port, handheld)
        return handheld

    def _link(self, port, target):
        link = os.path.join(self.dosdevices, 'com%d' % port)
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(target, link)
        self.links.append(link)

    def close(self):
        for link in self.links:
            if os.path.lexists(link):
                os.remove(link)
        for proc in self.procs:
            proc.terminate()
            proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


class Cable:
    """A pty whose slave the hub opens as COM`port` and whose master is the handheld's
    end, as a handheld on a cable would be: the two directions are independent, with no
    relay process in between. (socat relays both directions of a pair in one process:
    while its write towards a handheld that does not read is blocked, it relays nothing
    the other way, and a packet the handheld sent can stop half-way for as long; the hub
    rightly drops a packet that stops for a second.) The slave stays open here too, so
    the master keeps working while no hub holds the port."""

    def __init__(self, env, port):
        self.master, self.slave = os.openpty()
        for fd in (self.master, self.slave):
            tty.setraw(fd)
        self.link = os.path.join(env['WINEPREFIX'], 'dosdevices', 'com%d' % port)
        if os.path.lexists(self.link):
            os.remove(self.link)
        os.symlink(os.ttyname(self.slave), self.link)
        self.device, self.fds = 'fd:%d' % self.master, (self.master,)

    def handheld(self):
        """The handheld's end as a Handheld (it shares the master; close the cable, not it)."""
        return Handheld(fd=self.master)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if os.path.lexists(self.link):
            os.remove(self.link)
        os.close(self.master)
        os.close(self.slave)


class Handheld:
    """The handheld's end of a pty pair (by path) or of a Cable (fd), spoken to with raw bytes."""

    def __init__(self, path=None, fd=None):
        # Non-blocking: socat relays both directions of a pair in one process and
        # stops relaying either while its write towards a handheld that does not
        # read is blocked. A blocking write here would then wait for ever.
        self.owned = fd is None
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK) if self.owned else fd
        os.set_blocking(self.fd, False)  # a Cable's master too
        tty.setraw(self.fd)
        termios.tcflush(self.fd, termios.TCIOFLUSH)
        self.buffer = bytearray()

    def close(self):
        if self.owned:
            os.close(self.fd)

    def offer(self, data, idle):
        """Writes as much of data as the line takes until it has taken nothing for
        `idle` seconds; returns the number of bytes written."""
        view, sent = memoryview(data), 0
        while sent < len(view):
            _, ready, _ = select.select([], [self.fd], [], idle)
            if not ready:
                break
            try:
                sent += os.write(self.fd, view[sent:])
            except BlockingIOError:
                time.sleep(0.01)
        return sent

    def send(self, data, idle=30):
        sent = self.offer(data, idle)
        if sent < len(data):
            raise AssertionError('the line took %d of %d bytes and then nothing for %d s'
                                 % (sent, len(data), idle))

    def _fill(self, timeout):
        ready, _, _ = select.select([self.fd], [], [], max(0.0, timeout))
        if ready:
            self.buffer += os.read(self.fd, 65536)

    def read(self, count, timeout):
        deadline = time.time() + timeout
        while len(self.buffer) < count and time.time() < deadline:
            self._fill(deadline - time.time())
        data, self.buffer = bytes(self.buffer[:count]), self.buffer[count:]
        return data

    def waiting(self):
        """Bytes that arrived on the line and have not been read yet."""
        return len(self.buffer) + struct.unpack('i', fcntl.ioctl(self.fd, termios.FIONREAD, b'\0' * 4))[0]

    def read_for(self, seconds):
        deadline = time.time() + seconds
        while time.time() < deadline:
            self._fill(deadline - time.time())
        data, self.buffer = bytes(self.buffer), bytearray()
        return data

    def read_packet(self, timeout):
        """One packet (short header form), skipping beacons; None on time-out."""
        deadline = time.time() + timeout
        while True:
            header = self.read(3, deadline - time.time())
            if len(header) < 3:
                return None
            length = header[1] | header[2] << 8
            payload = self.read(length, deadline - time.time())
            if len(payload) < length:
                return None
            if header[0] != 1:
                return header + payload


def packet(command, payload=b''):
    return bytes([command]) + struct.pack('<H', len(payload)) + payload


def connect_request(plugin, user='Tester', flags=1):
    ruid = b'RUID-serial'.ljust(16, b'\0')
    return packet(2, ruid + plugin.encode() + b'\0' + user.encode() + b'\0' + bytes([flags]))
