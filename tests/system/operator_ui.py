"""The operator's hands on the hub's windows: the main dialog, the wizard, the
small dialogs and the tray icon, all through tools/wintool from outside.

Not a test itself (no _test suffix); the operator's system tests, the
screenshots script and the benchmark's pairing step import it.
"""
import time

import norvane_harness as h

MAIN = 'Norvane'
VIEW_ON_PALM = 'View on Palm'
ABOUT = 'About Norvane'
WIZARD = 'Connection Wizard'
PALM_PAGE = 'Add Palm Client'
POCKETPC_PAGE = 'Add PocketPC Client'
ADD_PORT = 'Add Port...'
MENU_CLASS = '#32768'

# Controls
LIST = 1019
ADD_CONNECTION, REMOVE_CONNECTION, ABOUT_BUTTON, HIDE, EXIT = 8, 7, 5, 2, 6
START_WITH_PPT, DISABLE_HOTSYNC = 1025, 1026
SERIAL, NETWORK, PALM, POCKETPC = 1033, 1034, 1036, 1037
IP_ADDRESS, PORT_LIST, PORT_HELP = 1029, 1031, 57670
OK, CANCEL = 1, 2

# Hub window commands and the tray callback
SHOW_MAIN, SHOW_VIEW_ON_PALM, SHOW_ABOUT, EXIT_COMMAND = 32774, 105, 57664, 57665
WM_TRAY_NOTIFY, TRAY_ID = 0x401, 130
WM_RBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP = 0x205, 0x203, 0x202
WM_SYSCOMMAND, SC_MINIMIZE = 0x112, 0xF020

Control = h.collections.namedtuple('Control', 'hwnd id cls visible enabled check style text')
Row = h.collections.namedtuple('Row', 'index uid selected texts')


def wait_until(predicate, timeout=10.0, interval=0.1):
    """The predicate's first true value, or its last value when the time is up."""
    deadline = time.time() + timeout
    while True:
        value = predicate()
        if value or time.time() > deadline:
            return value
        time.sleep(interval)


def _window(title, hwnd=None):
    return ['--hwnd', hex(hwnd)] if hwnd else ['--title', title]


def controls(title, hwnd=None):
    out = h.wintool('controls', *_window(title, hwnd)).stdout
    return [Control(int(r[0], 16), int(r[1]), r[2], r[3] == '1', r[4] == '1', int(r[5]), int(r[6], 16),
                    r[7] if len(r) > 7 else '') for r in h._records(out)]


def control(title, control_id):
    for c in controls(title):
        if c.id == control_id:
            return c
    return None


def click(title, control_id):
    """Posts a click to a button, radio button or check box of a top-level window."""
    return h.wintool('click', '--title', title, str(control_id)).returncode == 0


def rows(title=MAIN):
    """The main dialog's list, row by row: (index, uid, selected, [user name, connection, status])."""
    out = h.wintool('list-view', '--title', title, str(LIST)).stdout
    return [Row(int(r[0]), int(r[1]), r[2] == '1', r[3:]) for r in h._records(out)]


def row_texts(title=MAIN):
    return [tuple(r.texts) for r in rows(title)]


def select_row(index, title=MAIN):
    return h.wintool('list-select', '--title', title, str(LIST), str(index)).returncode == 0


def combo_items(title=ADD_PORT, control_id=PORT_LIST):
    out = h.wintool('combo-items', '--title', title, str(control_id)).stdout
    return [(int(r[0]), int(r[1]), r[2] == '1', r[3] if len(r) > 3 else '') for r in h._records(out)]


def combo_select(index, title=ADD_PORT, control_id=PORT_LIST):
    return h.wintool('combo-select', '--title', title, str(control_id), str(index)).returncode == 0


def window_rect(title=None, hwnd=None):
    result = h.wintool('window-rect', *_window(title, hwnd))
    return tuple(int(v) for v in result.stdout.split()) if result.returncode == 0 else None


def is_visible(title):
    return any(w.visible and w.title == title for w in h.list_windows())


def wait_visible(title, timeout=10.0):
    return wait_until(lambda: is_visible(title), timeout)


def wait_hidden(title, timeout=10.0):
    return wait_until(lambda: not is_visible(title), timeout)


def visible_menu():
    """The hwnd of a shown pop-up menu, or None."""
    for w in h.list_windows():
        if w.visible and w.cls == MENU_CLASS:
            return w.hwnd
    return None


def tray_notify(mouse_message, icon_id=TRAY_ID):
    return h.post_message(WM_TRAY_NOTIFY, icon_id, mouse_message)


def tray_icon_present(icon_id=TRAY_ID):
    return h.wintool('tray-icon', '--title', h.HUB_TITLE, str(icon_id)).returncode == 0


def tray_icon_delete(icon_id=TRAY_ID):
    return h.wintool('tray-icon', '--title', h.HUB_TITLE, str(icon_id), '--delete').returncode == 0


def simulate_shell_restart():
    """What a restarted shell says to every top-level window."""
    return h.wintool('post-registered', '--title', h.HUB_TITLE, 'TaskbarCreated').returncode == 0


# --- the wizard ---------------------------------------------------------------

def open_wizard():
    """Presses "Add Connection..." (the main dialog may be hidden) and waits for the wizard."""
    if not click(MAIN, ADD_CONNECTION):
        return False
    return bool(wait_visible(WIZARD))


def open_pairing_page(pocket_pc=False):
    """Wizard, Network, the handheld type, OK: the hub admits new network handhelds until
    close_pairing_page. Returns the page's title, or None when it did not open."""
    if not open_wizard():
        return None
    click(WIZARD, NETWORK)
    click(WIZARD, POCKETPC if pocket_pc else PALM)
    click(WIZARD, OK)
    page = POCKETPC_PAGE if pocket_pc else PALM_PAGE
    return page if wait_visible(page) else None


def close_pairing_page(page=PALM_PAGE):
    """Presses Done; pairing ends once the page has gone."""
    click(page, OK)
    return bool(wait_until(lambda: not h.find_window(page), 10))


def open_add_port(pocket_pc=False):
    """Wizard, Serial, OK: the Add Port dialog once its probe has listed the ports."""
    if not open_wizard():
        return False
    click(WIZARD, SERIAL)
    click(WIZARD, POCKETPC if pocket_pc else PALM)
    click(WIZARD, OK)
    return bool(wait_visible(ADD_PORT, timeout=60))


# --- a handheld over TCP ----------------------------------------------------------

def connect_payload(ruid, plugin, user, flags=1):
    return ruid.encode()[:16].ljust(16, b'\0') + plugin.encode() + b'\0' + user.encode() + b'\0' + bytes([flags])


class NetworkHandheld(h.PacketClient):
    """A handheld on port 4343 that sends its connect request at once."""

    def __init__(self, ruid, user, plugin='EchoPlugin', flags=1):
        super().__init__()
        self.send(2, connect_payload(ruid, plugin, user, flags))

    def answer(self, timeout=5):
        """The hub's answer to the connect request: 3 accepted, 4 failed, None for none."""
        packet = self.recv_skipping(timeout=timeout)
        return packet[0] if packet else None

    def reaches_plugin(self, text=b'ping', timeout=5):
        """True when a packet for the plug-in comes back from the echo plug-in."""
        self.send(0x20, text)
        packet = self.recv_skipping(timeout=timeout)
        return packet is not None and packet == (0x20, text)
