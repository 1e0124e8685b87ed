#!/usr/bin/env python3
"""The hand-off with HotSync Manager, seen from outside: its window, its registry values.

HotSync Manager is played by tools/standin with the window class "KittyHawk": it
records every WM_CLOSE, the "DontAskExit" value it saw then, and whether it gave in.
A second copy at "HotSyncPath" shows whether the hub started HotSync Manager again.
"""
import os
import shutil
import tempfile
import time

import norvane_harness as h

PILOT_KEY = r'HKCU\Software\U.S. Robotics'
MANAGER_KEY = PILOT_KEY + r'\Pilot Desktop\HotSync Manager'
CORE_KEY = PILOT_KEY + r'\Pilot Desktop\Core'
MANAGER_SUBKEY = MANAGER_KEY[len('HKCU\\'):]
HOTSYNC_CLASS = 'KittyHawk'
COULDNT_OPEN = "Couldn't open %s"


class HotSyncTestCase(h.HubTestCase):

    def setUp(self):
        super().setUp()
        h.StandIn.destroy_all(HOTSYNC_CLASS)
        h.reg_delete(key=PILOT_KEY)
        self.addCleanup(h.reg_delete, key=PILOT_KEY)
        os.makedirs(h.RUNS_DIR, exist_ok=True)
        self.dir = tempfile.mkdtemp(prefix='hotsync-', dir=h.RUNS_DIR)
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def start_hotsync(self, *options):
        standin = h.StandIn.start(self.dir, HOTSYNC_CLASS, '--watch-value', MANAGER_SUBKEY + r'\DontAskExit',
                                  *options)
        self.addCleanup(standin.stop)
        return standin

    def install_hotsync(self):
        """A HotSync Manager at "HotSyncPath" that the hub may start; returned not yet running."""
        standin = h.StandIn.install(os.path.join(self.dir, 'HotSync.exe'), HOTSYNC_CLASS)
        h.reg_add('HotSyncPath', h.windows_path(os.path.join(self.dir, 'HotSync.exe')), key=CORE_KEY)
        self.addCleanup(standin.stop)
        return standin

    def assert_started(self, standin, started):
        if started:
            self.assertTrue(standin.wait_started(15), 'HotSync Manager was not started again')
        else:
            time.sleep(2.0)   # time for a wrongly started program to show up
            self.assertEqual([], standin.records(), 'HotSync Manager was started')

    def dismiss_couldnt_open(self, port):
        # The stand-in ports lead nowhere; the hub says so after it has dealt with HotSync Manager.
        box = h.dismiss_box(wait_ms=20000)
        self.assertIsNotNone(box, 'no message about COM%d' % port)
        self.assertEqual(COULDNT_OPEN % ('COM%d' % port), box.text)


class DontAskExitTest(HotSyncTestCase):

    def test_value_is_one_while_closing_and_as_before_afterwards(self):
        # (value before, value after); None is a missing value
        cases = [(None, None), (0, 0), (0xFFFFFFFF, 0xFFFFFFFF), ('yes', None)]
        for before, after in cases:
            with self.subTest(before=before):
                if before is not None:
                    h.reg_add('DontAskExit', before, key=MANAGER_KEY)
                hotsync = self.start_hotsync()
                hub = self.start_hub()
                self.assertTrue(hotsync.wait_gone(), hotsync.records())
                self.assertEqual(['1 accepted DontAskExit=dword:1'], hotsync.closes())
                self.assertEqual(after, h.reg_query('DontAskExit', key=MANAGER_KEY))
                hub.stop()
                h.reg_delete(key=PILOT_KEY)

    def test_no_hotsync_window_leaves_value_and_exit_alone(self):
        h.reg_add('DontAskExit', 0, key=MANAGER_KEY)
        restarted = self.install_hotsync()
        hub = self.start_hub()
        self.assertEqual(0, hub.stop())
        self.assertEqual(0, h.reg_query('DontAskExit', key=MANAGER_KEY))
        self.assert_started(restarted, False)


class CloseAndRestartTest(HotSyncTestCase):

    def setUp(self):
        super().setUp()
        self.dosdevices = os.path.join(h.wine_environment()['WINEPREFIX'], 'dosdevices')
        for port in (1, 2):
            self.unplug(port)

    def unplug(self, port):
        """COMn leads to nothing while the test runs, so opening it fails the same way everywhere."""
        link = os.path.join(self.dosdevices, 'com%d' % port)
        old = os.readlink(link) if os.path.islink(link) else None
        if old is not None:
            os.remove(link)
        os.symlink(os.path.join(self.dir, 'no-such-device'), link)

        def restore():
            os.remove(link)
            if old is not None:
                os.symlink(old, link)
        self.addCleanup(restore)

    def test_start_closes_hotsync_and_exit_starts_it_again(self):
        hotsync = self.start_hotsync('--refuse-close', 2)
        restarted = self.install_hotsync()
        hub = self.start_hub()
        self.assertEqual(['1 refused DontAskExit=dword:1', '2 refused DontAskExit=dword:1',
                          '3 accepted DontAskExit=dword:1'], hotsync.closes())
        self.assertTrue(hotsync.wait_gone())
        self.assertEqual([], restarted.records(), 'started again while the hub runs')
        self.assertEqual(0, hub.stop())
        self.assert_started(restarted, True)

    def test_com1_closes_hotsync_only_when_the_setting_is_on(self):
        # (setting, port, WM_CLOSE records expected, window still there, started again at exit)
        # With --refuse-close 12 the ten tries at start all fail; opening COM1 tries again.
        cases = [
            (None, 1, 13, False, True),
            (None, 2, 10, True, True),     # ten refusals are the end; exit still restarts it
            (0, 1, 0, True, False),
        ]
        for setting, port, closes, survives, restarts in cases:
            with self.subTest(setting=setting, port=port):
                if setting is not None:
                    h.reg_add('AutoCloseHotSync', setting)
                hotsync = self.start_hotsync('--refuse-close', 12)
                restarted = self.install_hotsync()
                hub = self.start_hub([port], wait_window=False)
                self.assertIsNotNone(hub.wait_window(timeout=30))
                self.dismiss_couldnt_open(port)
                self.assertEqual(closes, len(hotsync.closes()), hotsync.records())
                self.assertEqual(survives, hotsync.exists())
                self.assertEqual(0, hub.stop())
                self.assert_started(restarted, restarts)
                restarted.stop()
                hotsync.stop()
                h.reg_delete()
                h.reg_delete(key=PILOT_KEY)

    def test_hotsync_hanging_in_close_holds_the_hub_for_a_bounded_time(self):
        hang_seconds = 90
        hotsync = self.start_hotsync('--hang-close', hang_seconds)
        restarted = self.install_hotsync()
        began = time.time()
        hub = self.start_hub(wait_window=False)
        self.assertIsNotNone(hub.wait_window(timeout=hang_seconds - 30), 'the hub waited for the hanging window')
        self.assertLess(time.time() - began, hang_seconds - 30)
        self.assertIsNone(h.reg_query('DontAskExit', key=MANAGER_KEY))
        self.assertEqual(0, hub.stop())
        self.assert_started(restarted, True)


class NotifierTest(HotSyncTestCase):

    def test_start_deletes_only_notifiers_naming_our_dll(self):
        values = {
            'NotifierA': r'C:\Palm\DAZOVOzoduv.dll',
            'NotifierB': r'C:\Program Files\Old\DAZOVOzoduv.dll',  # next to another: must not be skipped
            'NotifierC': r'C:\Palm\Expense.dll',
            'NotifierD': r'C:\Palm\dazovozoduv.dll',                # the data is compared case-sensitively
            'notifierE': r'C:\Palm\DAZOVOzoduv.dll',                # not a notifier: the name is lower-case
            'NotifyF': r'C:\Palm\DAZOVOzoduv.dll',
        }
        for name, data in values.items():
            h.reg_add(name, data, key=MANAGER_KEY)
        h.reg_add('AutoCloseHotSync', 0)
        self.start_hub()
        kept = {name: data for name, data in values.items() if name not in ('NotifierA', 'NotifierB')}
        self.assertEqual(kept, h.reg_values(MANAGER_KEY))


if __name__ == '__main__':
    h.main()
