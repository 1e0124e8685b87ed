#!/usr/bin/env python3
"""Start-up as the operator meets it: one hidden hub, the single-instance hand-over, close.

A second start must never become a second hub; it only tells the running one what
to show and ends. What it posted is seen from outside by which of the hub's
dialogs becomes visible: "Norvane" (the main dialog) or "View on Palm".
"""
import time

import norvane_harness as h

MAIN_DIALOG = 'Norvane'
VIEW_ON_PALM_DIALOG = 'View on Palm'


def wait_until(predicate, timeout=5.0):
    deadline = time.time() + timeout
    while True:
        value = predicate()
        if value or time.time() > deadline:
            return value
        time.sleep(0.1)


def visible_titles(hub):
    return sorted(w.title for w in hub.visible_windows())


class StartupTest(h.HubTestCase):

    def test_hub_window_is_hidden_and_nothing_is_shown(self):
        # "-r" to the first instance only watches for a presentation program; it shows nothing.
        for args in ([], ['-r']):
            with self.subTest(args=args):
                hub = self.start_hub(args)
                windows = hub.windows()
                frames = [w for w in windows if w.title == h.HUB_TITLE]
                self.assertEqual(1, len(frames), windows)
                self.assertEqual(hub.hwnd, frames[0].hwnd)
                self.assertEqual([], [w for w in windows if w.visible])
                self.assertEqual(0, hub.stop())

    def test_start_records_location(self):
        hub = self.start_hub()
        self.assertEqual(hub.windows_exe.lower(), (h.reg_query('Location') or '').lower())

    def test_second_instance_hands_over_and_ends(self):
        # (command line, dialog the running hub shows then, or None for nothing)
        cases = [
            (['-r'], VIEW_ON_PALM_DIALOG),
            ([' -r'], MAIN_DIALOG),       # not exactly "-r"
            (['-R'], MAIN_DIALOG),        # the comparison is case-sensitive
            (['-p'], None),
            ([], MAIN_DIALOG),
        ]
        for args, shown in cases:
            with self.subTest(args=args):
                first = self.start_hub()
                try:
                    self.check_hand_over(first, args, shown)
                finally:
                    first.stop()

    def check_hand_over(self, first, args, shown):
        h.reg_delete('Location')
        code, second = h.run_instance(args, timeout=20)
        self.addCleanup(second.cleanup)
        self.assertEqual(0, code, 'the second instance did not end promptly and cleanly')
        # It wrote its own path before it found the running hub.
        self.assertEqual(second.windows_exe.lower(), (h.reg_query('Location') or '').lower())
        self.assertTrue(first.running())
        self.assertEqual(first.hwnd, h.find_window(h.HUB_TITLE))
        if shown:
            self.assertEqual([shown], wait_until(lambda: visible_titles(first)))
        else:
            time.sleep(1.0)   # give a wrongly posted command time to show something
            self.assertEqual([], visible_titles(first))

    def test_close_ends_the_hub(self):
        hub = self.start_hub()
        self.assertTrue(h.close_window(hwnd=hub.hwnd))
        self.assertEqual(0, hub.wait_exit(15), 'the hub did not end cleanly after WM_CLOSE')
        self.assertTrue(h.wait_gone(hwnd=hub.hwnd, timeout_ms=1000))


if __name__ == '__main__':
    h.main()
