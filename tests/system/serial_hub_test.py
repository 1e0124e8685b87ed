#!/usr/bin/env python3
"""norvane.exe with a handheld on a COM port, driven from outside as a user would.

The hub runs from a directory of its own (so only the DLLs a test puts there
are plug-ins), opens COM5 from its command line, and the handheld sits on the
other end of a socat pty pair. tools/ptyshim is preloaded so the hub's event
thread waits for characters as it would on Windows.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from serial_link import (BUILD, Handheld, PtyPairs, build_shim, connect_request,  # noqa: E402
                         packet, serial_environment)
from norvane_harness import end_process  # noqa: E402

PORT = 5
BEACON, ECHO, ACCEPTED = packet(1), packet(5), packet(3)
HUB_TITLE = 'Norvane Main Frame'


def find_file(top, predicate):
    for root, _, files in os.walk(top):
        for name in files:
            if predicate(name.lower()):
                return os.path.join(root, name)
    return None


class Hub:
    """norvane.exe started from a directory of its own with the given DLLs beside it."""

    def __init__(self, env, args, dlls=(), preload=None):
        self.env = env
        self.dir = tempfile.mkdtemp(prefix='norvane-serial-hub-')
        shutil.copy(os.path.join(BUILD, 'norvane.exe'), self.dir)
        for dll in dlls:
            shutil.copy(dll, self.dir)
        run_env = dict(env, LD_PRELOAD=preload) if preload else env
        self.proc = subprocess.Popen(['wine', os.path.join(self.dir, 'norvane.exe')] + args, env=run_env,
                                     cwd=self.dir, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)

    def wintool(self, *args, timeout=30):
        tool = find_file(os.path.join(BUILD, 'tools'), lambda n: n == 'wintool.exe')
        if not tool:
            raise unittest.SkipTest('tools/wintool is not built')
        result = subprocess.run(['wine', tool] + list(args), env=self.env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=timeout)
        return result.returncode, result.stdout.decode(errors='replace')

    def wait_window(self, ms=10000):
        return self.wintool('find-window', '--title', HUB_TITLE, '--wait', str(ms))[0] == 0

    def stop(self, timeout=20):
        """Closes the hub as the tray's Exit would; returns its exit code."""
        if self.proc.poll() is None:
            try:
                self.wintool('close-window', '--title', HUB_TITLE)
            except unittest.SkipTest:
                pass
        code = end_process(self.proc, timeout)
        shutil.rmtree(self.dir, ignore_errors=True)
        return code


class SerialHubTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.env = serial_environment()
        if not os.path.exists(os.path.join(BUILD, 'norvane.exe')):
            raise unittest.SkipTest('norvane.exe is not built')
        cls.shim = build_shim()

    def setUp(self):
        self.pairs = PtyPairs(self.env)
        self.addCleanup(self.pairs.close)
        self.handheld = Handheld(self.pairs.add(PORT))
        self.addCleanup(self.handheld.close)

    def start_hub(self, args, dlls=()):
        hub = Hub(self.env, args, dlls, self.shim)
        self.addCleanup(hub.stop)
        return hub

    def test_command_line_port_greets_once_a_second_and_echoes(self):
        hub = self.start_hub([str(PORT)])
        self.assertEqual(BEACON, self.handheld.read(3, 15), 'no beacon after start')
        received = self.handheld.read_for(3.2)
        self.assertEqual(BEACON * (len(received) // 3), received)
        self.assertIn(len(received) // 3, (2, 3, 4))
        self.handheld.send(ECHO)
        self.assertEqual(ECHO, self.handheld.read_packet(3))
        self.assertEqual(0, hub.stop())

    def test_port_without_device_is_reported(self):
        hub = self.start_hub(['97'])
        code, out = hub.wintool('wait-box', '--caption', 'Orlesk', '--timeout', '15000')
        self.assertEqual(0, code, 'no message box')
        self.assertIn("Couldn't open COM97", out)
        hub.wintool('dismiss-box', '--caption', 'Orlesk')
        self.assertEqual(0, hub.stop())

    def test_echo_plugin_attaches_and_exchanges_1000_packets(self):
        echo = find_file(BUILD, lambda n: n == 'echoplugin.dll')
        self.assertTrue(echo, 'the echo sample plug-in is not built')
        hub = self.start_hub([str(PORT)], [echo])
        self.assertEqual(BEACON, self.handheld.read(3, 15))
        name = os.path.splitext(os.path.basename(echo))[0]
        self.handheld.send(connect_request(name))
        self.assertEqual(ACCEPTED, self.handheld.read_packet(5), 'not attached to ' + name)
        self.assertEqual(b'', self.handheld.read_for(2.2), 'beacons or other traffic while attached')

        sent = [packet(0x20 + i % 16, bytes((i + k) % 256 for k in range(i % 200))) for i in range(1000)]
        window = 20
        for start in range(0, len(sent), window):
            batch = sent[start:start + window]
            self.handheld.send(b''.join(batch))
            for expected in batch:
                self.assertEqual(expected, self.handheld.read_packet(5), 'packet lost or changed')
        self.assertEqual(0, hub.stop())

    def test_shutdown_inside_a_failing_plugins_connect_request(self):
        dll = find_file(BUILD, lambda n: n == 'failingentry.dll')
        self.assertTrue(dll, 'the failing sample plug-in is not built')
        hub = self.start_hub([str(PORT)], [dll])
        # Boxes from the scan at start-up, if the loader shows any; the
        # command line's ports are opened after them.
        wait_ms = '10000'
        while hub.wintool('dismiss-box', '--caption', 'Orlesk', '--wait', wait_ms)[0] == 0:
            wait_ms = '1500'
        self.assertEqual(BEACON, self.handheld.read(3, 15))
        self.handheld.send(connect_request('FailingEntry'))
        code, out = hub.wintool('wait-box', '--caption', 'Orlesk', '--timeout', '5000')
        self.assertEqual(0, code, 'no box from loading the plug-in for the connect request')
        self.assertIn("Couldn't load plugin FailingEntry.dll", out)
        # While the box is open inside the connect request: shut down, which
        # destroys the serial connection whose event thread waits in it.
        hub.wintool('post-message', '--title', HUB_TITLE, '0x10', '0', '0')
        time.sleep(0.5)
        hub.wintool('dismiss-box', '--caption', 'Orlesk', '--wait', '500')
        try:
            code = hub.proc.wait(20)
        except subprocess.TimeoutExpired:
            self.fail('the hub hung shutting down inside the connect request')
        self.assertEqual(0, code, 'the hub crashed shutting down inside the connect request')


if __name__ == '__main__':
    import norvane_harness
    norvane_harness.main()
