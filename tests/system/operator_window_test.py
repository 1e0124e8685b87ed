#!/usr/bin/env python3
"""The operator's window and the tray icon, driven from outside as an operator would.

The main dialog is read through its list view (rows, their UIDs and texts) and its
controls; the hub is reached through the commands that its tray menu and a second
start send, and through the tray callback itself. Network handhelds are admitted
through the wizard's pairing page, as an operator would admit them.
"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import norvane_harness as h  # noqa: E402
import operator_ui as ui  # noqa: E402
from serial_link import PtyPairs, serial_environment  # noqa: E402

ECHO_DLL = os.path.join(h.BUILD_DIR, 'sdk', 'samples', 'EchoPlugin.dll')
SERIAL_PORT = 5


class OperatorTestCase(h.HubTestCase):

    def start_operator_hub(self, args=(), serial=False):
        if serial:
            serial_environment()
            pairs = PtyPairs(h.wine_environment())
            self.addCleanup(pairs.close)
            pairs.add(SERIAL_PORT)
        return self.start_hub(args, extra_files=[ECHO_DLL])

    def show_main(self):
        h.post_command(ui.SHOW_MAIN)
        self.assertTrue(ui.wait_visible(ui.MAIN), 'the main dialog did not show')

    def pair(self, *handhelds):
        """Connects each (ruid, user) while the Palm page is open; returns the connected handhelds."""
        page = ui.open_pairing_page()
        self.assertEqual(ui.PALM_PAGE, page)
        connected = []
        for ruid, user in handhelds:
            handheld = ui.NetworkHandheld(ruid, user)
            self.addCleanup(handheld.close)
            self.assertEqual(3, handheld.answer(), 'handheld %s was not admitted while pairing' % user)
            connected.append(handheld)
        self.assertTrue(ui.close_pairing_page(page))
        return connected

    def wait_rows(self, expected, timeout=10):
        """Waits until the list shows exactly these rows (as a set: the list sorts itself)."""
        got = ui.wait_until(lambda: sorted(ui.row_texts()) == sorted(expected) and ui.row_texts(), timeout)
        self.assertEqual(sorted(expected), sorted(ui.row_texts()), 'rows now: %s' % got)


class MainDialogRowsTest(OperatorTestCase):

    def test_serial_port_row(self):
        self.start_operator_hub([str(SERIAL_PORT)], serial=True)
        self.wait_rows([('None', 'COM%d' % SERIAL_PORT, 'Searching')])

    def test_network_rows_connect_leave_and_are_found_by_uid_after_resorting(self):
        self.start_operator_hub()
        zed, = self.pair(('ZED-RUID', 'Zed'))
        self.wait_rows([('Zed', '127.0.0.1', 'Connected')])
        zed_uid = ui.rows()[0].uid

        # A second handheld sorts before the first; the first row moves down.
        self.pair(('ALICE-RUID', 'Alice'))
        self.wait_rows([('Zed', '127.0.0.1', 'Connected'), ('Alice', '127.0.0.1', 'Connected')])
        self.assertEqual(['Alice', 'Zed'], [r.texts[0] for r in ui.rows()])
        self.assertEqual(zed_uid, ui.rows()[1].uid)

        # Zed leaves: its own row changes, wherever it stands now, and no row is added.
        zed.close()
        self.wait_rows([('Zed', 'Network User', 'Disconnected'), ('Alice', '127.0.0.1', 'Connected')])
        self.assertEqual(zed_uid, [r.uid for r in ui.rows() if r.texts[0] == 'Zed'][0])

        # Zed comes back outside pairing: known by its RUID, the same row again.
        again = ui.NetworkHandheld('ZED-RUID', 'Zed')
        self.addCleanup(again.close)
        self.assertEqual(3, again.answer())
        self.assertTrue(again.reaches_plugin())
        self.wait_rows([('Zed', '127.0.0.1', 'Connected'), ('Alice', '127.0.0.1', 'Connected')])
        self.assertEqual(zed_uid, [r.uid for r in ui.rows() if r.texts[0] == 'Zed'][0])


class MainDialogWindowTest(OperatorTestCase):

    def test_every_way_of_closing_hides_and_only_exit_ends(self):
        hub = self.start_operator_hub()
        dialog = h.find_window(ui.MAIN)
        ways = [
            ('minimize', lambda: h.post_message(ui.WM_SYSCOMMAND, ui.SC_MINIMIZE, 0, hwnd=dialog)),
            ('Hide', lambda: ui.click(ui.MAIN, ui.HIDE)),
            ('close box', lambda: h.close_window(hwnd=dialog)),
            ('Enter', lambda: h.post_message(0x111, ui.OK, 0, hwnd=dialog)),
        ]
        for name, close in ways:
            with self.subTest(way=name):
                self.show_main()
                close()
                self.assertTrue(ui.wait_hidden(ui.MAIN), name + ' left the dialog shown')
                self.assertFalse(any(w.visible for w in hub.windows()), hub.windows())
                self.assertTrue(hub.running())
        self.show_main()
        ui.click(ui.MAIN, ui.EXIT)
        self.assertEqual(0, hub.wait_exit(20))

    def test_check_boxes_show_and_write_the_settings(self):
        h.reg_add('StartWithPowerPoint', 0)
        self.start_operator_hub()
        self.assertEqual(0, ui.control(ui.MAIN, ui.START_WITH_PPT).check)
        self.assertEqual(1, ui.control(ui.MAIN, ui.DISABLE_HOTSYNC).check, 'a missing value reads as on')
        ui.click(ui.MAIN, ui.START_WITH_PPT)
        self.assertEqual(1, ui.wait_until(lambda: h.reg_query('StartWithPowerPoint')))
        ui.click(ui.MAIN, ui.DISABLE_HOTSYNC)
        ui.wait_until(lambda: h.reg_query('AutoCloseHotSync') == 0)
        self.assertEqual(0, h.reg_query('AutoCloseHotSync'))

    def test_about_twice_opens_one_dialog(self):
        hub = self.start_operator_hub()
        self.show_main()
        h.post_command(ui.SHOW_ABOUT)
        self.assertTrue(ui.wait_visible(ui.ABOUT))
        ui.click(ui.MAIN, ui.ABOUT_BUTTON)
        h.post_command(ui.SHOW_ABOUT)
        time.sleep(1.0)
        abouts = [w for w in hub.windows() if w.title == ui.ABOUT]
        self.assertEqual(1, len(abouts), abouts)
        text = [c.text for c in ui.controls(ui.ABOUT) if c.id == 1021][0]
        self.assertTrue(text.startswith('Norvane v2.0\r\n'), text)
        ui.click(ui.ABOUT, ui.OK)
        self.assertTrue(ui.wait_until(lambda: not h.find_window(ui.ABOUT)))

    def test_show_commands_switch_between_the_two_dialogs(self):
        self.start_operator_hub()
        h.post_command(ui.SHOW_VIEW_ON_PALM)
        self.assertTrue(ui.wait_visible(ui.VIEW_ON_PALM))
        h.post_command(ui.SHOW_MAIN)
        self.assertTrue(ui.wait_visible(ui.MAIN))
        self.assertTrue(ui.wait_hidden(ui.VIEW_ON_PALM))
        h.post_command(ui.SHOW_VIEW_ON_PALM)
        self.assertTrue(ui.wait_visible(ui.VIEW_ON_PALM))
        self.assertTrue(ui.wait_hidden(ui.MAIN))
        ui.click(ui.VIEW_ON_PALM, 32774)   # "Settings..."
        self.assertTrue(ui.wait_visible(ui.MAIN))
        self.assertTrue(ui.wait_hidden(ui.VIEW_ON_PALM))


class TrayIconTest(OperatorTestCase):

    def test_callbacks_of_another_icon_are_ignored(self):
        hub = self.start_operator_hub()
        for message in (ui.WM_LBUTTONDBLCLK, ui.WM_RBUTTONUP):
            ui.tray_notify(message, icon_id=ui.TRAY_ID + 1)
        ui.tray_notify(ui.WM_LBUTTONUP)    # a single click does nothing either
        time.sleep(1.5)
        self.assertEqual([], [w for w in hub.windows() if w.visible])
        self.assertIsNone(ui.visible_menu())

    def test_double_click_shows_the_main_dialog_without_the_menu(self):
        self.start_operator_hub()
        ui.tray_notify(ui.WM_LBUTTONDBLCLK)
        self.assertTrue(ui.wait_visible(ui.MAIN))
        self.assertIsNone(ui.visible_menu())

    def test_right_click_opens_the_menu_and_its_default_entry_shows_the_main_dialog(self):
        self.start_operator_hub()
        ui.tray_notify(ui.WM_RBUTTONUP)
        menu = ui.wait_until(ui.visible_menu)
        self.assertTrue(menu, 'no menu opened')
        h.post_message(0x100, 0x1B, 0, hwnd=menu)         # Escape closes it, choosing nothing
        self.assertTrue(ui.wait_until(lambda: not ui.visible_menu()))
        self.assertFalse(ui.is_visible(ui.MAIN))
        ui.tray_notify(ui.WM_RBUTTONUP)
        menu = ui.wait_until(ui.visible_menu)
        h.post_message(0x102, ord('c'), 0, hwnd=menu)     # "&Current Ports..."
        self.assertTrue(ui.wait_visible(ui.MAIN))

    def test_icon_comes_back_after_the_shell_restarts(self):
        hub = self.start_operator_hub()
        self.assertTrue(ui.tray_icon_present())
        self.assertTrue(ui.tray_icon_delete())            # what a restarting shell loses
        self.assertFalse(ui.tray_icon_present())
        self.assertTrue(ui.simulate_shell_restart())
        self.assertTrue(ui.wait_until(ui.tray_icon_present), 'the icon did not come back')
        self.assertTrue(hub.running())

    def test_exit_from_the_menu_ends_the_hub(self):
        hub = self.start_operator_hub()
        h.post_command(ui.EXIT_COMMAND)
        self.assertEqual(0, hub.wait_exit(20))


if __name__ == '__main__':
    h.main()
