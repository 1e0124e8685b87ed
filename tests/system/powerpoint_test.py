#!/usr/bin/env python3
"""Following the presentation program: a hub started with "-p" or "-r" ends when its window goes.

The presentation program is played by tools/standin with the frame classes
"PP97FrameClass" and "PP9FrameClass"; the test hides, shows and destroys its window.
"""
import os
import shutil
import tempfile
import time

import norvane_harness as h

PP97 = 'PP97FrameClass'
PP9 = 'PP9FrameClass'
TICKS = 3.0        # long enough for the hub's one-second check to have looked at least twice
ENDS_WITHIN = 10   # seconds: one check, then shutdown; generous for a loaded machine


class PowerPointTest(h.HubTestCase):

    def setUp(self):
        super().setUp()
        for window_class in (PP97, PP9):
            h.StandIn.destroy_all(window_class)
        os.makedirs(h.RUNS_DIR, exist_ok=True)
        self.dir = tempfile.mkdtemp(prefix='powerpoint-', dir=h.RUNS_DIR)
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def start_presentation(self, window_class, *options):
        standin = h.StandIn.start(self.dir, window_class, *options)
        self.addCleanup(standin.stop)
        return standin

    def assert_keeps_running(self, hub):
        time.sleep(TICKS)
        self.assertTrue(hub.running(), 'the hub ended on its own')

    def assert_ends(self, hub):
        self.assertEqual(0, hub.wait_exit(ENDS_WITHIN), 'the hub did not end when the window went')

    def test_watched_window_going_ends_the_hub(self):
        # (option, class of the only window, how it goes)
        cases = [('-p', PP97, h.StandIn.DESTROY), ('-r', PP9, h.StandIn.HIDE), ('-p3', PP97, h.StandIn.HIDE)]
        for option, window_class, request in cases:
            with self.subTest(option=option, window_class=window_class):
                presentation = self.start_presentation(window_class)
                hub = self.start_hub([option])
                self.assert_keeps_running(hub)
                presentation.request(request)
                self.assert_ends(hub)
                presentation.stop()

    def test_without_option_nothing_is_watched(self):
        presentation = self.start_presentation(PP97)
        hub = self.start_hub(['-l'])
        presentation.request(h.StandIn.DESTROY)
        self.assertTrue(presentation.wait_gone())
        self.assert_keeps_running(hub)

    def test_newer_frame_class_is_watched_when_both_exist(self):
        older = self.start_presentation(PP9)
        newer = self.start_presentation(PP97)
        hub = self.start_hub(['-p'])
        older.request(h.StandIn.DESTROY)
        self.assert_keeps_running(hub)
        newer.request(h.StandIn.DESTROY)
        self.assert_ends(hub)

    def test_window_hidden_at_start_is_followed_once_seen(self):
        presentation = self.start_presentation(PP97, '--hidden')
        hub = self.start_hub(['-p'])
        self.assert_keeps_running(hub)
        presentation.request(h.StandIn.SHOW)
        self.assert_keeps_running(hub)
        presentation.request(h.StandIn.HIDE)
        self.assert_ends(hub)

    def test_window_that_never_shows_never_ends_the_hub(self):
        presentation = self.start_presentation(PP97, '--hidden')
        hub = self.start_hub(['-p'])
        presentation.request(h.StandIn.DESTROY)
        self.assertTrue(presentation.wait_gone())
        self.assert_keeps_running(hub)


if __name__ == '__main__':
    h.main()
