#!/usr/bin/env python3
"""norvane.exe started as a user starts it, reached over TCP from outside.

The hub must listen on 4343 (handhelds) and 4242 (network plug-ins), answer
ECHO on a handheld connection, switch keep-alive on for that connection, and
talk to the handheld simulator (tools/handheld), which is what a person uses
to try the hub without a device.
"""
import os
import socket
import subprocess
import time
import unittest

from norvane_harness import BUILD_DIR as BUILD, SOURCE_DIR as SOURCE, wine_environment, USER_PORT, PLUGIN_PORT, prerequisite_missing, end_process, accepts_connections  # noqa: E402,F401


def simulator_command():
    """The native simulator when a native build has one, else the Windows one under Wine."""
    native = os.environ.get('NORVANE_HANDHELD')
    if native and os.path.exists(native):
        return [native]
    return ['wine', os.path.join(BUILD, 'tools', 'handheld', 'handheld.exe')]


class HubOverTcpTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.env = wine_environment()
        if 'WINEPREFIX' not in cls.env:
            prerequisite_missing('no Wine session (scripts/wine-env.sh)')
        exe = os.path.join(BUILD, 'norvane.exe')
        if not os.path.exists(exe):
            raise unittest.SkipTest(exe + ' is not built')
        if accepts_connections(USER_PORT) or accepts_connections(PLUGIN_PORT):
            prerequisite_missing('ports 4343/4242 are already taken: is another hub running?')
        cls.hub = subprocess.Popen(['wine', exe], env=cls.env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 30
        while not accepts_connections(USER_PORT):
            if time.time() > deadline or cls.hub.poll() is not None:
                cls.stop_hub()
                raise RuntimeError('norvane.exe does not listen on 4343')
            time.sleep(0.1)

    @classmethod
    def tearDownClass(cls):
        cls.stop_hub()

    @classmethod
    def stop_hub(cls):
        # WM_CLOSE, as the operator's Exit would; a kill only if it hangs.
        subprocess.run(['wine', 'taskkill', '/im', 'norvane.exe'], env=cls.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
        end_process(cls.hub, 15)

    def connect(self):
        client = socket.create_connection(('127.0.0.1', USER_PORT), timeout=5)
        self.addCleanup(client.close)
        return client

    def receive(self, client, count):
        data = b''
        while len(data) < count:
            chunk = client.recv(count - len(data))
            if not chunk:
                break
            data += chunk
        return data

    def test_handheld_port_answers_echo(self):
        client = self.connect()
        client.sendall(bytes([5, 0, 0]))
        self.assertEqual(bytes([5, 0, 0]), self.receive(client, 3))
        # A payload split over segments is still one ECHO.
        client.sendall(bytes([5, 2]))
        time.sleep(0.2)
        client.sendall(bytes([0, 0x41]))
        time.sleep(0.2)
        client.sendall(bytes([0x42]))
        self.assertEqual(bytes([5, 0, 0]), self.receive(client, 3))

    def test_plugin_port_listens(self):
        self.assertTrue(accepts_connections(PLUGIN_PORT))

    def test_handheld_connection_has_short_keepalive(self):
        client = self.connect()
        client.sendall(bytes([5, 0, 0]))
        self.receive(client, 3)
        local_port = client.getsockname()[1]
        out = subprocess.run(['ss', '-tno', 'state', 'established', '( dport = :%d )' % local_port],
                             stdout=subprocess.PIPE, check=True).stdout.decode()
        self.assertIn('keepalive', out, out)

    def test_simulator_connects_and_prints_what_comes_back(self):
        result = subprocess.run(simulator_command() + ['--user', 'Ann', '--flags', '1', 'echo', "20 'Hi'",
                                                       'noop', 'echo', '--wait', '500'],
                                env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, timeout=60)
        out = result.stdout.decode(errors='replace').replace('\r\n', '\n')
        self.assertEqual(0, result.returncode, out)
        self.assertIn('-> 0x02 connect-request', out)
        self.assertEqual(2, out.count('<- 0x05 echo, 0 bytes'), out)
        self.assertNotIn('hub closed', out)
        # Nobody paired it, so its request went unanswered; the simulator says why.
        self.assertIn('only while its pairing page is open', out)


if __name__ == '__main__':
    import norvane_harness
    norvane_harness.main()
