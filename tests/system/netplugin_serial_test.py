#!/usr/bin/env python3
"""Handhelds attached to tools/netplugin, a network plug-in in a process of its own.

The hub opens COM5 and COM6 (socat pty pairs, as in serial_hub_test), the
simulator connects to the plug-in port and names itself, and the handhelds
ask for it by that name: the whole road from a COM port through the hub's
multiplexed link to another program and back, users announced by id, a
scripted broadcast, and the users let go when the plug-in ends. Network
handhelds take the same road from port 4343 once the operator has admitted
them through the wizard's pairing page.
"""
import os
import queue
import re
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import norvane_harness as h  # noqa: E402
import operator_ui as ui  # noqa: E402
from operator_window_test import OperatorTestCase  # noqa: E402
from serial_hub_test import Hub, find_file  # noqa: E402
from serial_link import BUILD, SOURCE, Handheld, PtyPairs, build_shim, connect_request, packet, serial_environment  # noqa: E402

ANN_PORT, BOB_PORT, SIM_PORT, SIM_WINDOWS_PORT = 5, 6, 7, 17
BEACON, ACCEPTED, FAILED = packet(1), packet(3), packet(4)
PLUGIN_SCRIPT = '# answers of the test plug-in\non 21 all 22 "to everyone"\non added 23 "welcome"\n'


class NetPlugin:
    """tools/netplugin under Wine; its printed lines are collected as they come."""

    def __init__(self, env, args):
        exe = find_file(os.path.join(BUILD, 'tools'), lambda n: n == 'netplugin.exe')
        if not exe:
            raise AssertionError('tools/netplugin is not built')
        self.lines = queue.Queue()
        self.proc = subprocess.Popen(['wine', exe] + args, env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        threading.Thread(target=self._collect, daemon=True).start()

    def _collect(self):
        for raw in self.proc.stdout:
            self.lines.put(raw.decode(errors='replace').rstrip('\r\n'))

    def expect(self, text, timeout=10):
        """Waits for a line that contains text; returns every line read meanwhile."""
        seen, deadline = [], time.time() + timeout
        while time.time() < deadline:
            try:
                line = self.lines.get(timeout=max(0.01, deadline - time.time()))
            except queue.Empty:
                break
            seen.append(line)
            if text in line:
                return seen
        raise AssertionError('netplugin never printed %r; it printed %r' % (text, seen))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
        h.end_process(self.proc, 10)
        self.proc.stdout.close()


class NetPluginSerialTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.env = serial_environment()
        if not os.path.exists(os.path.join(BUILD, 'norvane.exe')):
            raise AssertionError('norvane.exe is not built')
        cls.shim = build_shim()

    def setUp(self):
        self.pairs = PtyPairs(self.env)
        self.addCleanup(self.pairs.close)
        self.ann = Handheld(self.pairs.add(ANN_PORT))
        self.addCleanup(self.ann.close)
        self.bob = Handheld(self.pairs.add(BOB_PORT))
        self.addCleanup(self.bob.close)
        # The handheld simulator's end: a Linux path for its native build, a
        # COM port for its Windows build.
        self.sim_device = self.pairs.add(SIM_PORT, SIM_WINDOWS_PORT)
        self.hub = Hub(self.env, [str(ANN_PORT), str(BOB_PORT), str(SIM_PORT)], (), self.shim)
        self.addCleanup(self.hub.stop)
        self.assertEqual(BEACON, self.ann.read(3, 15), 'no beacon on COM%d' % ANN_PORT)

    def start_plugin(self, *args):
        script = tempfile.NamedTemporaryFile('w', suffix='.txt', delete=False)
        script.write(PLUGIN_SCRIPT)
        script.close()
        self.addCleanup(os.unlink, script.name)
        plugin = NetPlugin(self.env, ['--name', 'Remote', '--script', script.name] + list(args))
        self.addCleanup(plugin.stop)
        plugin.expect('-- connected')
        return plugin

    def attach(self, handheld, user, plugin, port):
        """Asks until the hub knows the plug-in (its name may still be on the way)."""
        welcome = packet(0x23, b'welcome')
        for _ in range(20):
            handheld.send(connect_request('remote', user))
            first = handheld.read_packet(5)
            if first == FAILED:
                time.sleep(0.25)
                continue
            # The plug-in greets on USER_ADDED, which can overtake the hub's answer.
            self.assertEqual({ACCEPTED, welcome}, {first, handheld.read_packet(5)})
            plugin.expect('++ user %d added: "%s"' % (port, user))
            return
        self.fail('%s was never attached to the network plug-in' % user)

    def test_handhelds_reach_the_plugin_by_id_and_are_let_go_when_it_ends(self):
        plugin = self.start_plugin('--echo')
        self.attach(self.ann, 'Ann', plugin, ANN_PORT)
        self.attach(self.bob, 'Bob', plugin, BOB_PORT)

        # Echoed to its sender only, and seen by the plug-in with the sender's id.
        self.ann.send(packet(0x20, b'hello'))
        self.assertEqual(packet(0x20, b'hello'), self.ann.read_packet(5))
        plugin.expect('[%d] <- 0x20' % ANN_PORT)
        sent = [packet(0x30 + i % 8, bytes(range(i % 120))) for i in range(200)]
        self.bob.send(b''.join(sent))
        for expected in sent:
            self.assertEqual(expected, self.bob.read_packet(5), 'packet lost or changed on the way')

        # The script's broadcast reaches both; the sender also gets its echo.
        self.ann.send(packet(0x21, b'x'))
        ann_got = {self.ann.read_packet(5), self.ann.read_packet(5)}
        self.assertEqual({packet(0x21, b'x'), packet(0x22, b'to everyone')}, ann_got)
        self.assertEqual(packet(0x22, b'to everyone'), self.bob.read_packet(5))
        self.assertEqual(b'', self.ann.read_for(1.2), 'traffic or beacons while attached')

        # The plug-in goes: both users stay with the hub, unattached, so the
        # hub greets them again.
        plugin.stop()
        self.assertEqual(BEACON, self.ann.read(3, 5), 'no beacon after the plug-in ended')
        self.assertEqual(BEACON, self.bob.read(3, 5))
        self.ann.send(connect_request('remote', 'Ann'))
        self.assertEqual(FAILED, self.ann.read_packet(5))
        self.assertEqual(0, self.hub.stop())

    def test_handheld_simulator_on_a_serial_port_reaches_the_plugin(self):
        plugin = self.start_plugin('--echo')
        self.attach(self.ann, 'Ann', plugin, ANN_PORT)  # the plug-in is known by now
        native = os.path.join(SOURCE, 'build', 'native', 'tools', 'handheld', 'handheld')
        if os.path.exists(native):
            command = [native, '--serial', self.sim_device]
        else:
            exe = find_file(os.path.join(BUILD, 'tools'), lambda n: n == 'handheld.exe')
            self.assertTrue(exe, 'tools/handheld is not built')
            command = ['wine', exe, '--serial', 'COM%d' % SIM_WINDOWS_PORT]
        result = subprocess.run(command + ['--plugin', 'Remote', '--user', 'Sim', '--wait', '2000', "20 'ping'"],
                                env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, timeout=60)
        out = result.stdout.decode(errors='replace')
        self.assertEqual(0, result.returncode, out)
        self.assertIn('<- 0x01 beacon', out)
        self.assertIn('<- 0x03 connect-accepted', out)
        self.assertIn("<- 0x20 data, 4 bytes", out, 'no echo from the plug-in')
        plugin.expect('++ user %d added: "Sim"' % SIM_PORT)
        plugin.expect('[%d] <- 0x20' % SIM_PORT)


class NetPluginTcpTest(OperatorTestCase):
    """Network handhelds, admitted by the operator, on the same plug-in program."""

    def start_plugin(self):
        script = tempfile.NamedTemporaryFile('w', suffix='.txt', delete=False)
        script.write(PLUGIN_SCRIPT)
        script.close()
        self.addCleanup(os.unlink, script.name)
        plugin = NetPlugin(h.wine_environment(), ['--name', 'Remote', '--echo', '--quiet', '--script', script.name])
        self.addCleanup(plugin.stop)
        plugin.expect('-- connected')
        return plugin

    def attach(self, ruid, user, plugin):
        """Connects until the hub knows the plug-in's name; returns (handheld, its user id at the plug-in)."""
        for _ in range(20):
            handheld = ui.NetworkHandheld(ruid, user, plugin='Remote')
            self.addCleanup(handheld.close)
            first = handheld.recv_skipping()
            if first == (4, b''):
                handheld.close()
                time.sleep(0.25)
                continue
            # The plug-in greets on USER_ADDED, which can overtake the hub's answer.
            self.assertEqual({(3, b''), (0x23, b'welcome')}, {first, handheld.recv_skipping()})
            added = plugin.expect('added: "%s"' % user)[-1]
            return handheld, int(re.search(r'\+\+ user (\d+) added', added).group(1))
        self.fail('%s was never attached to the network plug-in' % user)

    def test_paired_handhelds_reach_the_plugin_and_leaving_or_removal_is_reported(self):
        self.start_operator_hub()
        plugin = self.start_plugin()
        page = ui.open_pairing_page()
        self.assertEqual(ui.PALM_PAGE, page)
        ann, ann_id = self.attach('ANN-RUID', 'Ann', plugin)
        bob, bob_id = self.attach('BOB-RUID', 'Bob', plugin)
        self.assertNotEqual(ann_id, bob_id)
        self.assertTrue(ui.close_pairing_page(page))

        # Echoed to its sender only.
        sent = [(0x30 + i % 8, bytes(range(i % 120))) for i in range(200)]
        for command, payload in sent:
            ann.send(command, payload)
        for expected in sent:
            self.assertEqual(expected, ann.recv_skipping(), 'packet lost or changed on the way')
        self.assertIsNone(bob.recv_skipping(timeout=0.5), 'Bob got what was echoed to Ann')

        # The script's broadcast reaches both; the sender also gets its echo.
        bob.send(0x21, b'x')
        self.assertEqual({(0x21, b'x'), (0x22, b'to everyone')}, {bob.recv_skipping(), bob.recv_skipping()})
        self.assertEqual((0x22, b'to everyone'), ann.recv_skipping())

        # Ann leaves: the plug-in hears of it, Bob stays attached.
        ann.close()
        plugin.expect('-- user %d removed' % ann_id)
        self.assertTrue(bob.reaches_plugin())
        self.wait_rows([('Ann', 'Network User', 'Disconnected'), ('Bob', '127.0.0.1', 'Connected')])

        # The operator removes Bob's row: he stays on the line, the plug-in loses him.
        row = [r.index for r in ui.rows() if r.texts[0] == 'Bob'][0]
        self.assertTrue(ui.select_row(row))
        ui.click(ui.MAIN, ui.REMOVE_CONNECTION)
        self.assertTrue(h.dismiss_box(button='IDYES', wait_ms=10000))
        plugin.expect('-- user %d removed' % bob_id)
        self.assertFalse(bob.reaches_plugin(timeout=2), 'a removed handheld still reaches the plug-in')


if __name__ == '__main__':
    h.main()
