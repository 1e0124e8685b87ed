#!/usr/bin/env python3
"""Serial handhelds on pseudo-terminal pairs linked as COM ports in the Wine prefix.

Runs the Windows serial tests twice, once on plain ptys (Wine's WaitCommEvent
fails there, so the event thread must poll) and once with tools/ptyshim
preloaded (the pty answers modem-line requests and the thread waits for
characters). Each pty pair has both ends linked as COM ports: the hub's
end and the handheld's end, which the tests open in-process.
"""
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from serial_link import BUILD, PtyPairs, build_shim, serial_environment  # noqa: E402

HUB_PORT, HANDHELD_PORT = 5, 15
SPARE_HUB_PORT, SPARE_HANDHELD_PORT = 6, 16


class SerialPortsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.env = serial_environment()
        cls.shim = build_shim()

    def setUp(self):
        self.pairs = PtyPairs(self.env)
        self.addCleanup(self.pairs.close)

    def run_windows_tests(self, exe, reader, preload=None):
        path = os.path.join(BUILD, 'tests', exe)
        self.assertTrue(os.path.exists(path), path + ' is not built')
        self.pairs.add(HUB_PORT, HANDHELD_PORT)
        self.pairs.add(SPARE_HUB_PORT, SPARE_HANDHELD_PORT)
        env = dict(self.env, NORVANE_SERIAL_PAIRS='%d:%d,%d:%d' % (
            HUB_PORT, HANDHELD_PORT, SPARE_HUB_PORT, SPARE_HANDHELD_PORT), NORVANE_EXPECT_READER=reader)
        if preload:
            env['LD_PRELOAD'] = preload
        result = subprocess.run(['wine', path], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, timeout=300)
        output = result.stdout.decode(errors='replace')
        self.assertEqual(0, result.returncode, output)
        self.assertIn('[  PASSED  ]', output)
        self.assertNotIn('SKIPPED', output, output)

    def test_stream_on_plain_ptys_polls(self):
        self.run_windows_tests('serial_stream_test.exe', 'polling')

    def test_stream_with_modem_lines_waits(self):
        self.run_windows_tests('serial_stream_test.exe', 'waiting', self.shim)

    def test_connections_on_plain_ptys(self):
        self.run_windows_tests('serial_connections_test.exe', 'polling')

    def test_connections_with_modem_lines(self):
        self.run_windows_tests('serial_connections_test.exe', 'waiting', self.shim)


if __name__ == '__main__':
    import norvane_harness
    norvane_harness.main()
