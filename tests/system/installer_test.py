#!/usr/bin/env python3
"""norvane-setup.exe run silently under Wine, as an administrator would deploy it.

The build makes the installer (installer/CMakeLists.txt); these tests install it
into the session's prefix, look at what landed where (files, Start-menu folder,
registry), uninstall it again, and check that the operator's settings key is
left exactly as it was. A hub that runs during an install or uninstall must be
closed first, never have its files replaced under it.
"""
import glob
import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from norvane_harness import (BUILD_DIR, HUB_TITLE, HubTestCase, find_window,  # noqa: E402
                             main, reg_add, reg_delete, reg_query, reg_values, wine, wine_environment)

SETUP = os.path.join(BUILD_DIR, 'package', 'norvane-setup.exe')
INSTALLED = r'C:\Program Files\Norvane'
RUN_KEY = r'HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
UNINSTALL_KEY = r'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Norvane'
INSTALLED_FILES = ['norvane.exe', 'slides.dll', 'EchoPlugin.dll', 'uninstall.exe',
                   os.path.join('sdk', 'README.md'), os.path.join('sdk', 'norvane_plugin.h')]
SHORTCUTS = ['Norvane.lnk', 'Plug-in guide.lnk', 'Uninstall Norvane.lnk']
# The same bytes as the build's own: a replaced file under a running hub would differ or fail.
BUILT = {'norvane.exe': os.path.join(BUILD_DIR, 'norvane.exe'),
         'slides.dll': os.path.join(BUILD_DIR, 'plugins', 'slides.dll'),
         'EchoPlugin.dll': os.path.join(BUILD_DIR, 'sdk', 'samples', 'EchoPlugin.dll')}


def drive_c():
    return os.path.join(wine_environment()['WINEPREFIX'], 'drive_c')


def install_dir():
    return os.path.join(drive_c(), 'Program Files', 'Norvane')


def start_menu_dir():
    found = glob.glob(os.path.join(drive_c(), '*', 'Microsoft', 'Windows', 'Start Menu', 'Programs', 'Norvane')) + \
        glob.glob(os.path.join(drive_c(), 'users', '*', '*', 'Microsoft', 'Windows', 'Start Menu', 'Programs',
                               'Norvane'))
    return found[0] if found else None


def wait_until(predicate, timeout):
    deadline = time.time() + timeout
    while not predicate():
        if time.time() > deadline:
            return False
        time.sleep(0.1)
    return True


class InstallerTest(HubTestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.exists(SETUP):
            message = SETUP + ' is not built (is makensis installed?)'
            if os.environ.get('CI') == 'true':
                raise RuntimeError(message)
            raise unittest.SkipTest(message)

    def setUp(self):
        super().setUp()
        self.uninstall_leftovers()
        self.addCleanup(self.uninstall_leftovers)

    def uninstall_leftovers(self):
        if os.path.exists(os.path.join(install_dir(), 'uninstall.exe')):
            self.uninstall()
        reg_delete('Norvane', RUN_KEY)

    def install(self, *args):
        result = wine([SETUP, '/S'] + list(args), timeout=120)
        self.assertEqual(0, result.returncode, 'the installer failed: ' + result.stdout + result.stderr)

    def uninstall(self):
        # The uninstaller copies itself away and runs from there: wait for its work, not for it.
        result = wine([INSTALLED + r'\uninstall.exe', '/S'], timeout=120)
        self.assertEqual(0, result.returncode, result.stdout + result.stderr)
        self.assertTrue(wait_until(lambda: not os.path.exists(install_dir()) and not reg_values(UNINSTALL_KEY), 60),
                        'the uninstaller did not finish: %s' % (os.listdir(install_dir())
                                                                if os.path.exists(install_dir()) else 'key left'))

    def start_installed_hub(self):
        process = subprocess.Popen(['wine', INSTALLED + r'\norvane.exe'], env=wine_environment(),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: process.poll() is None and (process.kill(), process.wait()))
        self.assertTrue(find_window(HUB_TITLE, wait_ms=20000), 'the installed hub did not start')
        return process

    def test_silent_install_then_uninstall_leaves_the_settings_alone(self):
        reg_add('Location', 'Stage left')
        reg_add('AutoCloseHotSync', 0)
        reg_add('PortUser3', 3)
        settings = reg_values()
        self.install()
        for name in INSTALLED_FILES:
            self.assertTrue(os.path.isfile(os.path.join(install_dir(), name)), name + ' is not installed')
        menu = start_menu_dir()
        self.assertTrue(menu, 'no Start-menu folder')
        for name in SHORTCUTS:
            self.assertTrue(os.path.isfile(os.path.join(menu, name)), name + ' is missing')
        self.assertEqual('"%s\\norvane.exe"' % INSTALLED, reg_query('Norvane', RUN_KEY))
        self.assertEqual('"%s\\uninstall.exe"' % INSTALLED, reg_query('UninstallString', UNINSTALL_KEY))

        self.uninstall()
        self.assertFalse(os.path.exists(menu), 'the Start-menu folder stays')
        self.assertIsNone(reg_query('Norvane', RUN_KEY), 'the logon entry stays')
        self.assertEqual(settings, reg_values(), 'the settings key changed')

    def test_logon_entry_is_optional_and_only_ours_is_removed(self):
        self.install('/NOLOGON')
        self.assertIsNone(reg_query('Norvane', RUN_KEY))
        self.install()
        self.assertIsNotNone(reg_query('Norvane', RUN_KEY))
        self.install('/NOLOGON')   # unticked on a reinstall: the entry goes
        self.assertIsNone(reg_query('Norvane', RUN_KEY))
        # A value of that name that starts some other program is not the installer's to delete.
        reg_add('Norvane', r'"D:\Elsewhere\norvane.exe"', RUN_KEY)
        self.uninstall()
        self.assertEqual(r'"D:\Elsewhere\norvane.exe"', reg_query('Norvane', RUN_KEY))

    def test_running_hub_is_closed_before_its_files_are_replaced_or_removed(self):
        self.install()
        hub = self.start_installed_hub()
        self.install()
        self.assertEqual(0, hub.wait(timeout=30), 'the hub did not end cleanly')
        self.assertIsNone(find_window(HUB_TITLE), 'the hub window stays')
        for name, built in BUILT.items():
            with open(os.path.join(install_dir(), name), 'rb') as installed, open(built, 'rb') as original:
                self.assertTrue(installed.read() == original.read(), name + ' differs from the build')

        hub = self.start_installed_hub()
        self.uninstall()
        self.assertEqual(0, hub.wait(timeout=30), 'the hub did not end cleanly')


if __name__ == '__main__':
    main()
