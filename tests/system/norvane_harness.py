"""Helpers for system tests: norvane.exe under Wine, driven from outside as an operator would.

A system test starts the real executable in the project's private Wine session
(scripts/wine-env.sh), looks at it only through what a user or another program
could see (windows, message boxes, the registry, TCP ports) and acts on it with
tools/wintool. Each hub runs from a fresh copy of the executable in its own
directory, because the hub loads every DLL beside itself and writes its traffic
logs there; tests must not see each other's files. CTest runs these tests one at
a time (the hub's ports are fixed), and every test stops what it started.
"""
import collections
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

SOURCE_DIR = os.environ.get('NORVANE_SOURCE_DIR') or \
    os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..'))
BUILD_DIR = os.environ.get('NORVANE_BUILD_DIR') or os.path.join(SOURCE_DIR, 'build', 'win')
HUB_EXE = os.environ.get('NORVANE_HUB_EXE') or os.path.join(BUILD_DIR, 'norvane.exe')
WINTOOL_EXE = os.path.join(BUILD_DIR, 'tools', 'wintool', 'wintool.exe')
RUNS_DIR = os.path.join(BUILD_DIR, 'system-runs')

HUB_TITLE = 'Norvane Main Frame'
APP_TITLE = 'Orlesk'                      # caption of every message box of the hub
SETTINGS_KEY = r'HKCU\Software\Tarnwick\Norvane'
USER_PORT = 4343
PLUGIN_PORT = 4242

_env = None


def wine_environment():
    """The environment of the project's Wine session; the session is started on first use."""
    global _env
    if _env is None:
        script = os.path.join(SOURCE_DIR, 'scripts', 'wine-env.sh')
        out = subprocess.run(['bash', '-c', '. "$0" >&2 && env -0', script], stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, check=True, timeout=300).stdout
        _env = dict(item.split('=', 1) for item in out.decode().split('\0') if '=' in item)
    # The session ends itself when unused for a while; every call counts as use.
    try:
        os.utime(os.path.join(_env['NORVANE_WINE_DIR'], 'last-use'))
    except OSError:
        pass
    return _env


def wine(args, timeout=60, cwd=None):
    """Runs a Windows program to its end; returns the CompletedProcess with text output."""
    return subprocess.run(['wine'] + [str(a) for a in args], env=wine_environment(), cwd=cwd,
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=timeout, errors='replace')


def windows_path(path):
    """How a program under Wine sees a Linux path outside the prefix (drive Z: is the root)."""
    return 'Z:' + os.path.abspath(path).replace('/', '\\')


# --- windows and message boxes, through wintool ---------------------------------

Window = collections.namedtuple('Window', 'hwnd pid visible cls title')
Box = collections.namedtuple('Box', 'hwnd visible caption text')


def _unescape(field):
    out, i = [], 0
    while i < len(field):
        c = field[i]
        if c == '\\' and i + 1 < len(field):
            i += 1
            c = {'t': '\t', 'r': '\r', 'n': '\n'}.get(field[i], field[i])
        out.append(c)
        i += 1
    return ''.join(out)


def _records(stdout):
    return [[_unescape(f) for f in line.split('\t')] for line in stdout.splitlines() if line]


def wintool(*args, timeout=60):
    if not os.path.exists(WINTOOL_EXE):
        raise RuntimeError(WINTOOL_EXE + ' is not built')
    result = wine([WINTOOL_EXE] + list(args), timeout=timeout)
    if result.returncode == 2:
        raise RuntimeError('wintool usage: %s\n%s' % (args, result.stderr))
    return result


def _target(title, hwnd):
    return ['--hwnd', hex(hwnd)] if hwnd else ['--title', title]


def find_window(title=None, cls=None, wait_ms=0):
    """The hwnd of a top-level window with that title and/or class, or None."""
    args = (['--title', title] if title is not None else []) + (['--class', cls] if cls is not None else [])
    result = wintool('find-window', *args, '--wait', str(wait_ms), timeout=wait_ms / 1000 + 60)
    return int(result.stdout.strip(), 16) if result.returncode == 0 else None


def list_windows(process_of=None):
    """Every top-level window, or those of the process that owns the window titled process_of."""
    args = ['--process-of', process_of] if process_of else []
    result = wintool('list-windows', *args)
    return [Window(int(r[0], 16), int(r[1]), r[2] == '1', r[3], r[4]) for r in _records(result.stdout)]


def _box(record):
    return Box(int(record[0], 16), record[1] == '1', record[2], record[3])


def list_boxes(caption=APP_TITLE):
    """Every dialog-class top-level window with that caption (None: any caption), shown or not."""
    args = ['--caption', caption] if caption is not None else []
    return [_box(r) for r in _records(wintool('list-boxes', *args).stdout)]


def wait_box(caption=APP_TITLE, timeout_ms=5000):
    """The first visible box with that caption once one shows, or None."""
    result = wintool('wait-box', '--caption', caption, '--timeout', str(timeout_ms),
                     timeout=timeout_ms / 1000 + 60)
    return _box(_records(result.stdout)[0]) if result.returncode == 0 else None


def dismiss_box(caption=APP_TITLE, button=None, wait_ms=0):
    """Presses a button (default: the box's default one) of a visible box; returns that box or None."""
    args = ['--caption', caption, '--wait', str(wait_ms)] + (['--button', str(button)] if button else [])
    result = wintool('dismiss-box', *args, timeout=wait_ms / 1000 + 60)
    return _box(_records(result.stdout)[0]) if result.returncode == 0 else None


def post_command(command_id, title=HUB_TITLE, hwnd=None):
    return wintool('post-command', *_target(title, hwnd), str(command_id)).returncode == 0


def post_message(msg, wparam=0, lparam=0, title=HUB_TITLE, hwnd=None):
    return wintool('post-message', *_target(title, hwnd), str(msg), str(wparam), str(lparam)).returncode == 0


def close_window(title=HUB_TITLE, hwnd=None):
    return wintool('close-window', *_target(title, hwnd)).returncode == 0


def wait_gone(title=HUB_TITLE, hwnd=None, timeout_ms=10000):
    return wintool('wait-gone', *_target(title, hwnd), '--timeout', str(timeout_ms),
                   timeout=timeout_ms / 1000 + 60).returncode == 0


def process_memory(title=HUB_TITLE, hwnd=None):
    """(committed private bytes, mapped bytes) of the process that owns the window, or None."""
    result = wintool('memory', *_target(title, hwnd))
    if result.returncode != 0:
        return None
    committed, mapped = result.stdout.split()
    return int(committed), int(mapped)


# --- registry ---------------------------------------------------------------

def reg_values(key=SETTINGS_KEY):
    """The values of one key as {name: str or int}; {} when the key does not exist."""
    result = wine(['reg', 'query', key])
    values = {}
    for line in result.stdout.splitlines():
        line = line.rstrip('\r')
        if not line.startswith('    '):
            continue
        parts = line[4:].split('    ', 2)
        if len(parts) < 2:
            continue
        name, kind, data = parts[0], parts[1], parts[2] if len(parts) > 2 else ''
        values['' if name == '(Default)' else name] = int(data, 16) if kind == 'REG_DWORD' else data
    return values


def reg_query(name, key=SETTINGS_KEY):
    """One value (str, or int for a DWORD), or None when it is missing."""
    return reg_values(key).get(name)


def reg_add(name, value, key=SETTINGS_KEY):
    kind, data = ('REG_DWORD', str(value)) if isinstance(value, int) else ('REG_SZ', value)
    result = wine(['reg', 'add', key, '/v', name, '/t', kind, '/d', data, '/f'])
    if result.returncode != 0:
        raise RuntimeError('reg add %s %s failed: %s' % (key, name, result.stdout + result.stderr))


def reg_delete(name=None, key=SETTINGS_KEY):
    """Deletes one value, or the whole key when name is None; a missing one is no error."""
    wine(['reg', 'delete', key] + (['/v', name] if name is not None else []) + ['/f'])


# --- the hub ----------------------------------------------------------------

class Hub:
    """One norvane.exe process, started from its own directory with the given arguments."""

    def __init__(self, args=(), exe=HUB_EXE, extra_files=(), preload=None):
        if not os.path.exists(exe):
            raise RuntimeError(exe + ' is not built')
        os.makedirs(RUNS_DIR, exist_ok=True)
        self.dir = tempfile.mkdtemp(prefix='hub-', dir=RUNS_DIR)
        self.exe = os.path.join(self.dir, os.path.basename(exe))
        shutil.copy2(exe, self.exe)
        for f in extra_files:
            shutil.copy2(f, self.dir)
        self.args = [str(a) for a in args]
        self.hwnd = None
        self._out = open(os.path.join(self.dir, 'hub-output.txt'), 'wb')
        env = dict(wine_environment(), LD_PRELOAD=preload) if preload else wine_environment()
        self.process = subprocess.Popen(['wine', self.exe] + self.args, cwd=self.dir, env=env,
                                        stdin=subprocess.DEVNULL, stdout=self._out, stderr=subprocess.STDOUT)

    @property
    def windows_exe(self):
        return windows_path(self.exe)

    def running(self):
        return self.process.poll() is None

    def wait_window(self, timeout=20):
        """The hub window's hwnd once it exists, or None (also when the process ended first)."""
        deadline = time.time() + timeout
        while self.running() and time.time() < deadline:
            self.hwnd = find_window(HUB_TITLE, wait_ms=500)
            if self.hwnd:
                return self.hwnd
        return None

    def wait_exit(self, timeout=20):
        """The exit code, or None when the process is still running after timeout seconds."""
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def windows(self):
        """This hub's top-level windows (its dialogs among them); needs the hub window to exist."""
        return list_windows(process_of=HUB_TITLE) if self.running() else []

    def visible_windows(self):
        return [w for w in self.windows() if w.visible]

    def stop(self, timeout=15):
        """Closes the hub as the operator would; kills it only when it does not end. Returns its exit code."""
        if self.running():
            # Tests never run two hubs at once, so without a known hwnd the title is this hub's.
            close_window(hwnd=self.hwnd)
            if end_process(self.process, timeout) is None:
                sys.stderr.write('hub did not end within %ss after WM_CLOSE; it was killed\n' % timeout)
        return self.process.returncode

    def output(self):
        self._out.flush()
        with open(os.path.join(self.dir, 'hub-output.txt'), 'rb') as f:
            return f.read().decode(errors='replace')

    def cleanup(self):
        self.stop()
        self._out.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def run_instance(args=(), timeout=20):
    """Starts norvane.exe once more and waits for it to end: (exit code or None, its Hub)."""
    hub = Hub(args)
    return hub.wait_exit(timeout), hub


# --- packets over TCP -------------------------------------------------------

def encode_packet(command, payload=b'', conn_id=None):
    """Command byte, 16-bit LE length (0xFFFF escapes a 32-bit LE length), [connection id], payload."""
    if len(payload) < 0xFFFF:
        header = struct.pack('<BH', command, len(payload))
    else:
        header = struct.pack('<BHI', command, 0xFFFF, len(payload))
    return header + (bytes([conn_id]) if conn_id is not None else b'') + payload


class PacketClient:
    """A handheld (port 4343) or, with_id, a network plug-in (port 4242, connection-id byte)."""

    MAX_PAYLOAD = 64 << 20   # a broken peer must fail the test, not exhaust memory

    def __init__(self, port=USER_PORT, host='127.0.0.1', timeout=10, with_id=False):
        self.with_id = with_id
        self.buffer = bytearray()
        deadline = time.time() + timeout
        while True:
            try:
                self.sock = socket.create_connection((host, port), timeout=1)
                break
            except OSError:
                if time.time() > deadline:
                    raise
                time.sleep(0.1)

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def send(self, command, payload=b'', conn_id=None):
        self.sock.sendall(encode_packet(command, payload, conn_id))

    def send_raw(self, data):
        self.sock.sendall(data)

    def _fill(self, count, deadline):
        """True once count bytes are buffered; False on time-out (what arrived stays buffered)."""
        while len(self.buffer) < count:
            remaining = deadline - time.time()
            if remaining <= 0:
                return False
            self.sock.settimeout(remaining)
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                return False
            if not chunk:
                raise ConnectionError('connection closed by the hub')
            self.buffer += chunk
        return True

    def recv(self, timeout=5):
        """(command, payload), or (command, conn_id, payload) with_id; None on time-out, after
        which a later call resumes the same packet. Raises ConnectionError when the hub closes."""
        deadline = time.time() + timeout
        if not self._fill(3, deadline):
            return None
        command, length, header = self.buffer[0], self.buffer[1] | self.buffer[2] << 8, 3
        if length == 0xFFFF:
            if not self._fill(7, deadline):
                return None
            length, header = struct.unpack_from('<I', self.buffer, 3)[0], 7
        conn_id = None
        if self.with_id:
            if not self._fill(header + 1, deadline):
                return None
            conn_id, header = self.buffer[header], header + 1
        if length > self.MAX_PAYLOAD:
            raise ValueError('packet of %d bytes announced' % length)
        if not self._fill(header + length, deadline):
            return None
        payload = bytes(self.buffer[header:header + length])
        del self.buffer[:header + length]
        return (command, conn_id, payload) if self.with_id else (command, payload)

    def recv_skipping(self, skip=(1,), timeout=5):
        """The next packet whose command is not in skip (beacons by default), or None."""
        deadline = time.time() + timeout
        while True:
            packet = self.recv(max(0.0, deadline - time.time()))
            if packet is None or packet[0] not in skip:
                return packet


def end_process(process, timeout):
    """Waits up to timeout seconds for a process that was asked to end, and kills it when it has not.
    Its exit code, or None when it had to be killed."""
    try:
        return process.wait(timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        return None


def accepts_connections(port, timeout=1.0):
    """Whether something on this machine answers a TCP connect on port."""
    try:
        socket.create_connection(('127.0.0.1', port), timeout=timeout).close()
        return True
    except OSError:
        return False


def busy_ports(ports=(USER_PORT, PLUGIN_PORT)):
    """The hub's ports that something already listens on (a hub of another prefix, say)."""
    busy = []
    for port in ports:
        probe = socket.socket()
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)   # only a listener blocks the bind
        try:
            probe.bind(('0.0.0.0', port))
        except OSError:
            busy.append(port)
        finally:
            probe.close()
    return busy


# --- stand-ins for outside programs ------------------------------------------

STANDIN_EXE = os.path.join(BUILD_DIR, 'tools', 'standin', 'standin.exe')
WM_APP = 0x8000


class StandIn:
    """tools/standin: one window of a given class in place of another program (command line and
    record format at the top of standin.cpp). Its record is a log file read from here."""

    HIDE, SHOW, DESTROY = WM_APP + 1, WM_APP + 2, WM_APP + 3

    def __init__(self, log, process=None):
        self.log = log
        self.process = process
        self.hwnd = None

    @classmethod
    def start(cls, directory, window_class, *options):
        """Starts one and waits for its window; options as on its command line."""
        if not os.path.exists(STANDIN_EXE):
            raise RuntimeError(STANDIN_EXE + ' is not built')
        handle, log = tempfile.mkstemp(prefix='standin-%s-' % window_class, suffix='.log', dir=directory)
        os.close(handle)
        process = subprocess.Popen(
            ['wine', STANDIN_EXE, '--class', window_class, '--log', windows_path(log)] + [str(o) for o in options],
            env=wine_environment(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        standin = cls(log, process)
        if not standin.wait_started():
            standin.stop()
            raise RuntimeError('standin %s did not create its window' % window_class)
        return standin

    @classmethod
    def install(cls, exe_path, window_class, *options):
        """Puts a copy at exe_path that, started without arguments (as the shell starts a program
        by its path), runs with these options. Returns it not started; wait_started() follows it."""
        shutil.copy2(STANDIN_EXE, exe_path)
        log = os.path.splitext(exe_path)[0] + '.log'
        if os.path.exists(log):
            os.remove(log)
        args = ['--class', window_class, '--log', windows_path(log)] + [str(o) for o in options]
        with open(os.path.splitext(exe_path)[0] + '.args', 'w') as f:
            f.write(' '.join('"%s"' % a for a in args))
        return cls(log)

    @classmethod
    def destroy_all(cls, window_class):
        """Ends every window of that class: stand-ins left behind by an earlier run."""
        for _ in range(20):
            hwnd = find_window(cls=window_class)
            if not hwnd:
                return
            post_message(cls.DESTROY, hwnd=hwnd)
            wait_gone(hwnd=hwnd, timeout_ms=2000)

    def records(self):
        try:
            with open(self.log, errors='replace') as f:
                return [line.rstrip('\n') for line in f]
        except FileNotFoundError:
            return []

    def wait_record(self, predicate, timeout=10.0):
        """The first record line for which predicate holds, once there is one, or None."""
        deadline = time.time() + timeout
        while True:
            for line in self.records():
                if predicate(line):
                    return line
            if time.time() > deadline:
                return None
            time.sleep(0.1)

    def wait_started(self, timeout=20.0):
        line = self.wait_record(lambda l: l.startswith('started '), timeout)
        if line:
            self.hwnd = int(line.split()[2], 16)
        return line is not None

    def closes(self):
        """The WM_CLOSE records: 'N refused|accepted [watched value]' each."""
        return [line[len('WM_CLOSE '):] for line in self.records()
                if line.startswith('WM_CLOSE ') and ' hang ' not in line]

    def exists(self):
        return self.hwnd is not None and wintool('find-window', '--hwnd', hex(self.hwnd)).returncode == 0

    def request(self, message):
        return post_message(message, hwnd=self.hwnd)

    def wait_gone(self, timeout_ms=10000):
        return self.hwnd is None or wait_gone(hwnd=self.hwnd, timeout_ms=timeout_ms)

    def stop(self):
        """Destroys the window; a stand-in that does not answer (hanging in WM_CLOSE) is killed.
        An installed one that the hub may just have started is given a moment to show up."""
        if self.process is None and self.hwnd is None:
            self.wait_started(3.0)
        if self.exists():
            self.request(self.DESTROY)
            if self.process is None:
                self.wait_gone(5000)
        if self.process is not None:
            end_process(self.process, 5)


# --- test cases -------------------------------------------------------------

class HubTestCase(unittest.TestCase):
    """Starts from no running hub and a clean settings key; stops every hub it started."""

    PORT_WAIT = 120

    def setUp(self):
        if find_window(HUB_TITLE):
            close_window()
            if not wait_gone(timeout_ms=10000):
                self.fail('a hub from an earlier test is still running')
        reg_delete()
        # A hub elsewhere on this machine holding the fixed ports would make ours fail at start-up.
        deadline = time.time() + self.PORT_WAIT
        while busy_ports():
            if time.time() > deadline:
                prerequisite_missing('ports %s stay in use by another program' % busy_ports())
            time.sleep(0.5)

    def start_hub(self, args=(), wait_window=True, **kw):
        hub = Hub(args, **kw)
        self.addCleanup(hub.cleanup)
        if wait_window and not hub.wait_window():
            boxes = [b for b in list_boxes(None) if b.visible] if hub.running() else []
            self.fail('the hub window did not appear (exit code %s); boxes shown: %s\n%s' % (
                hub.process.poll(), boxes, hub.output()))
        return hub


SKIP_EXIT_CODE = 77   # the system tests' SKIP_RETURN_CODE in CMake


def under_ci():
    return os.environ.get('CI', '').lower() in ('true', '1')


def prerequisite_missing(reason):
    """Skips the test for a missing prerequisite (socat, the Wine session, a busy port);
    under CI (CI=true) that is a failure instead."""
    if under_ci():
        raise AssertionError('missing prerequisite (CI=true): ' + reason)
    raise unittest.SkipTest(reason)


def main():
    """unittest.main with a closing summary line. Exits nonzero on any failure, with
    SKIP_EXIT_CODE when every test skipped (nothing was tested), and nonzero for any skip
    under CI=true."""
    program = unittest.main(module='__main__', exit=False, verbosity=2)
    result = program.result
    name = os.path.basename(sys.argv[0])
    skipped = len(result.skipped)
    all_skipped = result.testsRun > 0 and skipped == result.testsRun
    verdict = 'OK' if result.wasSuccessful() else 'FAILED'
    if result.wasSuccessful() and skipped and under_ci():
        verdict = 'FAILED (skips under CI=true)'
    elif result.wasSuccessful() and all_skipped:
        verdict = 'SKIPPED (nothing was tested)'
    print('%s: %d run, %d failed, %d errors, %d skipped: %s' % (
        name, result.testsRun, len(result.failures), len(result.errors), skipped, verdict))
    if not result.wasSuccessful() or (skipped and under_ci()):
        sys.exit(1)
    sys.exit(SKIP_EXIT_CODE if all_skipped else 0)
