#!/usr/bin/env python3
"""`handheld slides ...`: the simulator's names for the slides plug-in's requests.

The simulator talks to a stand-in hub here (a listener on a free port that
accepts the connect request and answers each request as the plug-in would), so
what is checked is the simulator's side alone: the packets each name produces,
and the answers printed in words. The plug-in itself is checked by
tests/win/slides_plugin_test.cpp.
"""
import os
import socket
import struct
import subprocess
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from norvane_harness import BUILD_DIR, encode_packet, main, wine_environment  # noqa: E402

HANDHELD = os.path.join(BUILD_DIR, 'tools', 'handheld', 'handheld.exe')
ANSWER = 0x50


def read_packet(conn):
    header = b''
    while len(header) < 3:
        chunk = conn.recv(3 - len(header))
        if not chunk:
            return None
        header += chunk
    length = struct.unpack_from('<H', header, 1)[0]
    payload = b''
    while len(payload) < length:
        chunk = conn.recv(length - len(payload))
        if not chunk:
            return None
        payload += chunk
    return header[0], payload


class StandInHub:
    """Accepts one handheld, accepts its connect request, answers every request with `answer(cmd, payload)`."""

    def __init__(self, answer):
        self.listener = socket.socket()
        self.listener.bind(('127.0.0.1', 0))
        self.listener.listen(1)
        self.listener.settimeout(60)
        self.port = self.listener.getsockname()[1]
        self.answer = answer
        self.received = []
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        try:
            conn, _ = self.listener.accept()
        except OSError:
            return
        with conn:
            conn.settimeout(30)
            try:
                while True:
                    packet = read_packet(conn)
                    if packet is None:
                        return
                    self.received.append(packet)
                    if packet[0] == 2:
                        conn.sendall(encode_packet(3))
                    else:
                        conn.sendall(encode_packet(ANSWER, self.answer(*packet)))
            except OSError:
                return

    def close(self):
        self.listener.close()
        self.thread.join(10)


def run_handheld(*args, port=1):
    return subprocess.run(['wine', HANDHELD, '--port', str(port), '--wait', '3000'] + list(args),
                          env=wine_environment(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=60, errors='replace')


class HandheldSlidesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.exists(HANDHELD):
            raise unittest.SkipTest(HANDHELD + ' is not built')

    def test_requests_by_name_and_answers_in_words(self):
        def answer(command, payload):
            if command == 0x49:
                return bytes([command, 0, 1]) + b'Quarterly review'
            return bytes([command, 1 if command == 0x47 else 0])
        hub = StandInHub(answer)
        self.addCleanup(hub.close)
        result = run_handheld('slides', 'next', 'goto', '300', 'start', 'query', port=hub.port)
        self.assertEqual(0, result.returncode, result.stderr)
        connect = hub.received[0]
        self.assertEqual(2, connect[0])
        self.assertEqual(b'slides', connect[1][16:].split(b'\0')[0], 'not asking for the slides plug-in')
        self.assertEqual([(0x40, b''), (0x44, struct.pack('<H', 300)), (0x47, b''), (0x49, b'')], hub.received[1:])
        for line in ('slides: next: done', 'slides: goto: done', 'slides: start: no presentation window',
                     'slides: query: done, PP97FrameClass window "Quarterly review"'):
            self.assertIn(line, result.stdout)

    def test_a_request_it_does_not_know_is_refused_before_connecting(self):
        for args in (['slides', 'jump'], ['slides', 'goto'], ['slides', 'goto', '0'], ['slides', 'goto', 'x']):
            result = run_handheld(*args)
            self.assertEqual(1, result.returncode, args)
            self.assertIn('next, previous', result.stderr, args)


if __name__ == '__main__':
    main()
