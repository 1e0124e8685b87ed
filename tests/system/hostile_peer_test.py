#!/usr/bin/env python3
"""norvane.exe against peers that misbehave: claims of memory, handhelds that stop
reading, a plug-in that falls behind, and requests that would stack message boxes.

Each test checks what a presenter relies on: the hub answers others at once, keeps
its memory, loses no packet of a slow user, and exits promptly whatever a peer does.
Serial handhelds hold a pty of their own, as on a cable (serial_link.Cable, with
tools/ptyshim preloaded as in the serial tests): a relay between them and the hub
would stall one direction while the other is stuck. They are always admitted, so
they reach the sample plug-ins without pairing.
A network handheld is paired through the wizard first and removed through the main
dialog, as the operator would do it with one that has got stuck.
"""
import os
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import norvane_harness as h  # noqa: E402
import operator_ui as ui  # noqa: E402
from operator_window_test import OperatorTestCase  # noqa: E402
from serial_link import Cable, build_shim, connect_request, packet, serial_environment  # noqa: E402

PORT = 5
MIB = 1 << 20
ECHO = packet(5)
SAMPLES = os.path.join(h.BUILD_DIR, 'sdk', 'samples')


def sample(name):
    path = os.path.join(SAMPLES, name + '.dll')
    if not os.path.exists(path):
        raise AssertionError(path + ' is not built')
    return path


def claim_header(length):
    """A packet header claiming `length` payload bytes (escaped form)."""
    return struct.pack('<BHI', 0x22, 0xFFFF, length)


class HostilePeerTest(OperatorTestCase):
    def setUp(self):
        super().setUp()
        self.env = serial_environment()
        self.shim = build_shim()

    def serial_hub(self, dlls=()):
        """A hub with a handheld on COM5 and the given DLLs; returns (hub, handheld)."""
        cable = Cable(self.env, PORT)
        self.addCleanup(cable.close)
        handheld = cable.handheld()
        hub = self.start_hub([str(PORT)], extra_files=dlls, preload=self.shim)
        self.assertEqual(packet(1), handheld.read(3, 15), 'no beacon from COM%d' % PORT)
        return hub, handheld

    def assert_echo_within(self, seconds, what):
        with h.PacketClient() as fresh:
            start = time.time()
            fresh.send(5)
            self.assertEqual((5, b''), fresh.recv(timeout=seconds), what)
            self.assertLess(time.time() - start, seconds, what)

    def assert_exits_within(self, hub, seconds, close=None):
        start = time.time()
        if close:
            close()
        else:
            h.close_window(hwnd=hub.hwnd)
        gone = h.wait_gone(hwnd=hub.hwnd, timeout_ms=int(seconds * 1000) + 2000)
        took = time.time() - start
        self.assertTrue(gone, 'the hub window did not go')
        # wintool's own start under Wine is part of `took`; the hub must be well within it.
        self.assertLess(took, seconds + 1.0, 'Exit took %.2f s' % took)
        self.assertIsNotNone(hub.wait_exit(20), 'the process did not end after its window went')

    def test_claimed_lengths_take_no_memory(self):
        """150 handhelds each claim 16 MiB and go silent. Measured against the same 150
        connections before their claims, so each connection's own thread is not counted."""
        hub = self.start_hub()
        claimers = [socket.create_connection(('127.0.0.1', h.USER_PORT), timeout=10) for _ in range(150)]
        self.addCleanup(lambda: [s.close() for s in claimers])
        time.sleep(3)  # every connection accepted, its reader waiting
        before = h.process_memory(hwnd=hub.hwnd)
        self.assertIsNotNone(before)
        for s in claimers:
            s.sendall(claim_header(16 * MIB))
        time.sleep(3)  # every claim read, every reader waiting for its payload
        self.assert_echo_within(1.0, 'a fresh handheld was not answered while 150 claims wait')
        after = h.process_memory(hwnd=hub.hwnd)
        grew = (after[0] - before[0]) / MIB
        sys.stderr.write('committed %.1f -> %.1f MiB (mapped %.1f -> %.1f MiB)\n' % (
            before[0] / MIB, after[0] / MIB, before[1] / MIB, after[1] / MIB))
        self.assertLess(grew, 64, 'committed memory grew by %.1f MiB' % grew)
        self.assertLess((after[1] - before[1]) / MIB, 64, 'mapped memory grew by %.1f MiB' % (
            (after[1] - before[1]) / MIB))
        self.assert_exits_within(hub, 1.0)

    def test_handheld_that_stops_reading_an_echo_flood(self):
        hub = self.start_hub()
        flooder = socket.create_connection(('127.0.0.1', h.USER_PORT), timeout=10)
        self.addCleanup(flooder.close)
        flooder.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        flooder.setblocking(False)
        burst, sent, deadline = ECHO * 20000, 0, time.time() + 5
        while time.time() < deadline:  # as much as the hub takes; nothing is read back
            try:
                sent += flooder.send(burst)
            except BlockingIOError:
                time.sleep(0.05)
        self.assertGreater(sent, 0)
        self.assert_echo_within(1.0, 'another handheld was not answered during the flood')
        self.assert_exits_within(hub, 1.0)

    def test_trickling_reader(self):
        hub = self.start_hub()
        trickler = socket.create_connection(('127.0.0.1', h.USER_PORT), timeout=10)
        self.addCleanup(trickler.close)
        trickler.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        trickler.setblocking(False)
        burst = ECHO * 50000
        end = time.time() + 4
        while time.time() < end:  # a byte read now and then keeps its writer alive
            try:
                trickler.send(burst)
            except BlockingIOError:
                pass
            try:
                trickler.recv(1)
            except BlockingIOError:
                pass
            time.sleep(0.2)
        self.assert_echo_within(1.0, 'another handheld was not answered beside a trickling reader')
        self.assert_exits_within(hub, 1.0)

    def test_serial_handheld_that_stops_reading_during_a_plugin_flood(self):
        echo = sample('EchoPlugin')
        hub, handheld = self.serial_hub([echo])
        handheld.send(connect_request('EchoPlugin'))
        self.assertEqual(packet(3), handheld.read_packet(5), 'not attached to the echo plug-in')
        # The plug-in answers every packet; the handheld reads none of it. The answers
        # are more than the line holds, so the hub's writes to COM5 get stuck while its
        # reading goes on.
        flood = [packet(0x20 + i % 16, struct.pack('<H', i) + bytes(198)) for i in range(600)]
        sent = handheld.offer(b''.join(flood), idle=2)
        self.assertEqual(len(b''.join(flood)), sent, 'COM%d stopped taking the flood' % PORT)
        time.sleep(2)
        self.assertLess(handheld.waiting(), sent, 'the answers never filled the line: nothing was stuck')
        self.assert_echo_within(1.0, 'a network handheld was not answered while COM%d is stuck' % PORT)
        # Reading again, it gets an answer to every packet, in order.
        answers = []
        while len(answers) < len(flood):
            answer = handheld.read_packet(10)
            if answer is None:
                break
            answers.append(answer)
        self.assertEqual(len(flood), len(answers), 'answers lost after COM%d was stuck' % PORT)
        self.assertEqual(flood, answers, 'answers changed or out of order')
        # Flooded once more and not read, the hub still ends at once.
        handheld.offer(b''.join(flood), idle=2)
        self.assert_exits_within(hub, 1.0)

    def test_operator_removes_a_network_handheld_that_stopped_reading_a_plugin_flood(self):
        hub = self.start_operator_hub()
        stuck, = self.pair(('STUCK-RUID', 'Stu'))
        stuck.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        stuck.sock.setblocking(False)
        burst, sent, deadline = h.encode_packet(0x20, bytes(200)) * 2000, 0, time.time() + 4
        while time.time() < deadline:  # the echo plug-in answers each; nothing is read back
            try:
                sent += stuck.sock.send(burst)
            except BlockingIOError:
                time.sleep(0.05)
        self.assertGreater(sent, 0)
        self.assert_echo_within(1.0, 'another handheld was not answered while a paired one is stuck')

        self.wait_rows([('Stu', '127.0.0.1', 'Connected')])
        self.assertTrue(ui.select_row(0))
        ui.click(ui.MAIN, ui.REMOVE_CONNECTION)
        self.assertTrue(h.wait_box(timeout_ms=10000), 'no question before the removal')
        start = time.time()
        self.assertTrue(h.dismiss_box(button='IDYES'))
        gone = ui.wait_until(lambda: ui.rows() == [], timeout=10, interval=0)
        took = time.time() - start
        self.assertTrue(gone, 'the row of the stuck handheld stayed')
        # Two wintool starts under Wine are part of `took`; the hub's share must be well within 1 s.
        self.assertLess(took, 2.0, 'Remove Connection took %.2f s' % took)
        self.assert_echo_within(1.0, 'another handheld was not answered after the removal')
        self.assert_exits_within(hub, 1.0, close=lambda: ui.click(ui.MAIN, ui.EXIT))

    def test_plugin_that_stops_taking_messages(self):
        stall = sample('StallPlugin')
        hub, handheld = self.serial_hub([stall])
        handheld.send(connect_request('StallPlugin'))
        self.assertEqual(packet(3), handheld.read_packet(5), 'not attached to the stall plug-in')
        handheld.send(packet(0x7E, bytes([4])))  # the plug-in's thread sleeps 4 s
        sent = [packet(0x20, struct.pack('<H', i) + bytes(40)) for i in range(1500)]
        for p in sent:
            handheld.send(p)
        self.assert_echo_within(1.0, 'another handheld was not answered while the plug-in stalls')
        self.assertEqual(packet(0x7E, bytes([4])), handheld.read_packet(15))
        for i, expected in enumerate(sent):
            self.assertEqual(expected, handheld.read_packet(10), 'packet %d lost or out of order' % i)
        self.assert_exits_within(hub, 1.0)

    def test_empty_ruid_requests_while_a_port_is_listed_leave_one_box(self):
        hub, _ = self.serial_hub()
        request = h.encode_packet(2, bytes(16) + b'EchoPlugin\0Mallory\0\x01')
        clients = []
        self.addCleanup(lambda: [c.close() for c in clients])
        for _ in range(100):
            c = socket.create_connection(('127.0.0.1', h.USER_PORT), timeout=10)
            c.sendall(request * 2)
            clients.append(c)
        time.sleep(3)
        boxes = [b for b in h.list_boxes() if b.visible]
        self.assertEqual(1, len(boxes), boxes)
        self.assertIn('findIndexByRUID', boxes[0].text)
        # Each box that follows is the only one while it shows; none pile up.
        for _ in range(40):
            if not h.dismiss_box(wait_ms=300):
                break
            self.assertLessEqual(len([b for b in h.list_boxes() if b.visible]), 1)
        self.assertTrue(hub.running())


if __name__ == '__main__':
    h.main()
