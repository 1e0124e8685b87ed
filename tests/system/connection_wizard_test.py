#!/usr/bin/env python3
"""Adding and removing connections as the operator does it: the wizard's pairing pages,
the Add Port dialog and Remove Connection, with handhelds on TCP and on pty COM ports.

A network handheld that the hub does not know gets no answer to its connect request
unless a pairing page is open; once admitted, it is answered at once until the
operator removes its row.
"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import norvane_harness as h  # noqa: E402
import operator_ui as ui  # noqa: E402
from operator_window_test import OperatorTestCase  # noqa: E402
from serial_link import PtyPairs, serial_environment  # noqa: E402

HELD_PORT, FREE_PORT, OTHER_FREE_PORT = 5, 6, 7
UNANSWERED = 2.0   # seconds a refused handheld waits before it counts as unanswered
SELECT_TO_REMOVE = 'You must first select a connection to delete it from the list.'
CONFIRM_REMOVE = 'Users will no longer be able to use the currently selected connection.  Continue?'
SELECT_VALID_COM = 'Please select a valid COM to continue, other hit CANCEL to exit.'


class PairingTest(OperatorTestCase):

    def connect(self, ruid, user):
        handheld = ui.NetworkHandheld(ruid, user)
        self.addCleanup(handheld.close)
        return handheld

    def assert_refused(self, ruid, user='Stranger'):
        handheld = self.connect(ruid, user)
        self.assertIsNone(handheld.answer(UNANSWERED), '%s was answered outside pairing' % ruid)
        handheld.close()

    def test_admitted_only_while_a_page_is_open_until_its_row_is_removed(self):
        self.start_operator_hub()
        self.assert_refused('PALM-1')

        page = ui.open_pairing_page()
        palm = self.connect('PALM-1', 'Pam')
        self.assertEqual(3, palm.answer())
        self.assertTrue(palm.reaches_plugin())
        self.assertTrue(ui.close_pairing_page(page))
        self.assert_refused('POCKET-1')

        page = ui.open_pairing_page(pocket_pc=True)
        self.assertEqual(ui.POCKETPC_PAGE, page)
        pocket = self.connect('POCKET-1', 'Pete')
        self.assertEqual(3, pocket.answer())
        self.assertTrue(ui.close_pairing_page(page))

        # Pam leaves and comes back later: known by her RUID, no pairing needed.
        palm.close()
        self.wait_rows([('Pam', 'Network User', 'Disconnected'), ('Pete', '127.0.0.1', 'Connected')])
        palm = self.connect('PALM-1', 'Pam')
        self.assertEqual(3, palm.answer())
        self.assertTrue(palm.reaches_plugin())

        # The operator removes her row: she loses her plug-in and must pair again.
        self.wait_rows([('Pam', '127.0.0.1', 'Connected'), ('Pete', '127.0.0.1', 'Connected')])
        row = [r.index for r in ui.rows() if r.texts[0] == 'Pam'][0]
        self.assertTrue(ui.select_row(row))
        ui.click(ui.MAIN, ui.REMOVE_CONNECTION)
        box = h.dismiss_box(button='IDYES', wait_ms=10000)
        self.assertEqual(CONFIRM_REMOVE, box.text if box else None)
        self.wait_rows([('Pete', '127.0.0.1', 'Connected')])
        self.assertFalse(palm.reaches_plugin(timeout=2), 'a removed handheld still reaches its plug-in')
        palm.close()
        self.assert_refused('PALM-1', 'Pam')
        self.assertTrue(pocket.reaches_plugin())

    def test_closing_the_page_at_once_leaves_pairing_off_and_both_listeners_up(self):
        self.start_operator_hub()
        for pocket_pc in (False, True):
            page = ui.open_pairing_page(pocket_pc)
            self.assertTrue(page)
            ip = [c for c in ui.controls(page) if c.cls == 'SysIPAddress32'][0]
            self.assertFalse(ip.enabled, 'the address is for display only')
            fields = [c.text for c in ui.controls(page) if c.cls.lower() == 'edit']
            self.assertEqual(4, len(fields), fields)
            self.assertTrue(all(f.isdigit() for f in fields), 'the PC address is not shown: %s' % fields)
            self.assertTrue(ui.close_pairing_page(page))
            self.assertEqual([h.USER_PORT, h.PLUGIN_PORT], ui.wait_until(lambda: h.busy_ports() == [
                h.USER_PORT, h.PLUGIN_PORT] and h.busy_ports()))
            self.assert_refused('LATE-%d' % pocket_pc)

    def test_a_second_add_connection_while_pairing_raises_the_open_page(self):
        self.start_operator_hub()
        page = ui.open_pairing_page()
        ui.click(ui.MAIN, ui.ADD_CONNECTION)
        time.sleep(1.5)
        self.assertIsNone(h.find_window(ui.WIZARD), 'a second wizard would end pairing under the first')
        self.assertTrue(ui.is_visible(page))
        handheld = self.connect('STILL-PAIRING', 'Sam')
        self.assertEqual(3, handheld.answer())
        self.assertTrue(ui.close_pairing_page(page))

    def test_shutdown_inside_the_pairing_page_or_the_removal_question_ends_cleanly(self):
        for step in ('pairing page', 'removal question'):
            with self.subTest(step=step):
                hub = self.start_operator_hub()
                if step == 'pairing page':
                    self.assertTrue(ui.open_pairing_page())
                else:
                    self.pair(('LEAVING', 'Lee'))
                    self.wait_rows([('Lee', '127.0.0.1', 'Connected')])
                    self.assertTrue(ui.select_row(0))
                    ui.click(ui.MAIN, ui.REMOVE_CONNECTION)
                    self.assertTrue(h.wait_box(timeout_ms=10000))
                h.post_command(ui.EXIT_COMMAND)
                self.assertEqual(0, hub.wait_exit(30))
                ui.wait_until(lambda: not h.busy_ports(), 10)
                self.assertEqual([], h.busy_ports(), 'a listener outlived the hub')

    def test_cancel_in_the_wizard_changes_nothing(self):
        self.start_operator_hub()
        self.assertTrue(ui.open_wizard())
        radios = {c.id: c.check for c in ui.controls(ui.WIZARD) if c.id in (ui.SERIAL, ui.NETWORK, ui.PALM, ui.POCKETPC)}
        self.assertEqual({ui.SERIAL: 1, ui.NETWORK: 0, ui.PALM: 1, ui.POCKETPC: 0}, radios)
        ui.click(ui.WIZARD, ui.NETWORK)
        ui.click(ui.WIZARD, ui.CANCEL)
        self.assertTrue(ui.wait_until(lambda: not h.find_window(ui.WIZARD)))
        time.sleep(0.5)
        self.assertFalse(h.find_window(ui.PALM_PAGE))
        self.assert_refused('NOBODY')
        self.assertEqual([], ui.rows())


class SerialPortsTest(OperatorTestCase):

    def setUp(self):
        super().setUp()
        serial_environment()
        self.pairs = PtyPairs(h.wine_environment())
        self.addCleanup(self.pairs.close)
        for port in (HELD_PORT, FREE_PORT, OTHER_FREE_PORT):
            self.pairs.add(port)

    def port_names(self):
        return [text for _, _, _, text in ui.combo_items()]

    def test_add_port_lists_free_ports_only_and_adds_the_chosen_one(self):
        self.start_operator_hub([str(HELD_PORT)])
        self.wait_rows([('None', 'COM5', 'Searching')])
        for pocket_pc in (True, False):   # the handheld type plays no part
            with self.subTest(pocket_pc=pocket_pc):
                self.assertTrue(ui.open_add_port(pocket_pc))
                if pocket_pc:
                    self.addCleanup(ui.click, ui.ADD_PORT, ui.CANCEL)
                names = self.port_names()
                self.assertIn('COM6', names)
                self.assertIn('COM7', names)
                self.assertNotIn('COM5', names, 'a port the hub holds was probed')
                self.assertTrue(ui.combo_items()[0][2], 'the first entry is selected')
                self.assertFalse(ui.control(ui.ADD_PORT, ui.PORT_HELP).enabled)
                if pocket_pc:
                    ui.click(ui.ADD_PORT, ui.CANCEL)
                    self.assertTrue(ui.wait_until(lambda: not h.find_window(ui.ADD_PORT)))
                    self.assertIsNone(h.reg_query('PortUser6'))
                    self.assertEqual(1, len(ui.rows()))
        index = self.port_names().index('COM7')
        self.assertTrue(ui.combo_select(index))
        ui.click(ui.ADD_PORT, ui.OK)
        self.wait_rows([('None', 'COM5', 'Searching'), ('None', 'COM7', 'Searching')])
        self.assertEqual(7, h.reg_query('PortUser7'))

        # Held now, COM7 is no longer offered.
        self.assertTrue(ui.open_add_port())
        self.assertNotIn('COM7', self.port_names())
        ui.click(ui.ADD_PORT, ui.CANCEL)

    def test_ok_without_a_choice_asks_for_one_and_stays_open(self):
        self.start_operator_hub()
        self.assertTrue(ui.open_add_port())
        self.assertTrue(ui.combo_select(-1))
        ui.click(ui.ADD_PORT, ui.OK)
        box = h.dismiss_box(wait_ms=10000)
        self.assertEqual(SELECT_VALID_COM, box.text if box else None)
        time.sleep(0.5)
        self.assertTrue(ui.is_visible(ui.ADD_PORT))
        ui.click(ui.ADD_PORT, ui.CANCEL)
        self.assertTrue(ui.wait_until(lambda: not h.find_window(ui.ADD_PORT)))
        self.assertEqual([], ui.rows())

    def test_removing_a_serial_row_asks_first_and_frees_the_port(self):
        self.start_operator_hub([str(HELD_PORT)])
        self.wait_rows([('None', 'COM5', 'Searching')])
        self.assertEqual(5, h.reg_query('PortUser5'))

        ui.click(ui.MAIN, ui.REMOVE_CONNECTION)
        box = h.dismiss_box(wait_ms=10000)
        self.assertEqual(SELECT_TO_REMOVE, box.text if box else None)

        self.assertTrue(ui.select_row(0))
        ui.click(ui.MAIN, ui.REMOVE_CONNECTION)
        box = h.dismiss_box(button='IDNO', wait_ms=10000)
        self.assertEqual(CONFIRM_REMOVE, box.text if box else None)
        time.sleep(0.5)
        self.assertEqual([('None', 'COM5', 'Searching')], ui.row_texts())

        ui.click(ui.MAIN, ui.REMOVE_CONNECTION)
        self.assertTrue(h.dismiss_box(button='IDYES', wait_ms=10000))
        self.wait_rows([])
        self.assertIsNone(h.reg_query('PortUser5'))

        # The port is free again: offered, and added anew.
        self.assertTrue(ui.open_add_port())
        self.assertIn('COM5', self.port_names())
        self.assertTrue(ui.combo_select(self.port_names().index('COM5')))
        ui.click(ui.ADD_PORT, ui.OK)
        self.wait_rows([('None', 'COM5', 'Searching')])


if __name__ == '__main__':
    h.main()
