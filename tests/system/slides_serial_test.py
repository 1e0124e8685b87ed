#!/usr/bin/env python3
"""A presenter's handheld on a COM port runs a show through the real hub.

norvane.exe starts with slides.dll beside it (found by its start-up scan), a
handheld on COM5 asks for the slides plug-in, and a stand-in presentation
window (tools/keyrecorder, class PP97FrameClass) in its own process reports the
keys that arrive. The whole road is real: serial stream, router, plug-in
thread stream, plug-in, PostMessage into another process, and the answer back
over the cable.
"""
import os
import queue
import subprocess
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from serial_link import BUILD, Handheld, PtyPairs, build_shim, connect_request, packet, serial_environment  # noqa: E402
from serial_hub_test import Hub  # noqa: E402
from norvane_harness import close_window, end_process, main  # noqa: E402

PORT = 5
SLIDES_DLL = os.path.join(BUILD, 'plugins', 'slides.dll')
KEYRECORDER = os.path.join(BUILD, 'tools', 'keyrecorder', 'keyrecorder.exe')


class KeyRecorder:
    """tools/keyrecorder in its own process; its key lines arrive in a queue."""

    def __init__(self, env, cls='PP97FrameClass'):
        self.process = subprocess.Popen(['wine', KEYRECORDER, '--class', cls, '--lifetime', '120'], env=env,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, errors='replace')
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        ready = self.next_line(20)
        self.hwnd = int(ready.split()[1], 16) if ready and ready.startswith('ready ') else None

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line.strip())

    def next_line(self, timeout):
        try:
            return self.lines.get(timeout=timeout)
        except queue.Empty:
            return None

    def keys(self, count, timeout=5):
        """The next `count` down/up lines (chars skipped), fewer on time-out."""
        keys = []
        while len(keys) < count:
            line = self.next_line(timeout)
            if line is None:
                break
            if not line.startswith('char '):
                keys.append(line)
        return keys

    def close(self):
        if self.process.poll() is None and self.hwnd:
            close_window(hwnd=self.hwnd)
        end_process(self.process, 10)
        self.process.stdout.close()


class SlidesOverSerialTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.env = serial_environment()
        for path in (os.path.join(BUILD, 'norvane.exe'), SLIDES_DLL, KEYRECORDER):
            if not os.path.exists(path):
                raise unittest.SkipTest(path + ' is not built')
        cls.shim = build_shim()

    def test_handheld_buttons_reach_the_presentation_as_keys_and_are_answered(self):
        pairs = PtyPairs(self.env)
        self.addCleanup(pairs.close)
        handheld = Handheld(pairs.add(PORT))
        self.addCleanup(handheld.close)
        hub = Hub(self.env, [str(PORT)], [SLIDES_DLL], self.shim)
        self.addCleanup(hub.stop)
        deck = KeyRecorder(self.env)
        self.addCleanup(deck.close)
        self.assertTrue(deck.hwnd, 'the stand-in window did not start')

        self.assertEqual(packet(1), handheld.read(3, 15), 'no beacon from the hub')
        handheld.send(connect_request('Slides'))
        self.assertEqual(packet(3), handheld.read_packet(5), 'not attached to the slides plug-in')

        handheld.send(packet(0x47) + packet(0x40) + packet(0x44, bytes([7, 0])) + packet(0x49))
        self.assertEqual(packet(0x50, bytes([0x47, 0])), handheld.read_packet(5))
        self.assertEqual(packet(0x50, bytes([0x40, 0])), handheld.read_packet(5))
        self.assertEqual(packet(0x50, bytes([0x44, 0])), handheld.read_packet(5))
        self.assertEqual(packet(0x50, bytes([0x49, 0, 1]) + b'Stand-in presentation'), handheld.read_packet(5))
        self.assertEqual(['down 74 0', 'up 74 0', 'down 22 1', 'up 22 1', 'down 37 0', 'up 37 0', 'down 0d 0',
                          'up 0d 0'], deck.keys(8))

        handheld.send(packet(0x99))
        self.assertEqual(packet(0x50, bytes([0x99, 2])), handheld.read_packet(5))
        self.assertEqual(0, hub.stop(), 'the hub did not end cleanly with the plug-in loaded')


if __name__ == '__main__':
    main()
