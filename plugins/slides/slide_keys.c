/*
 * Requests to keystrokes, and their delivery.
 *
 * The keys are the ones a presenter presses during a show: Page Down and
 * Page Up step (what presentation remotes send, and they also step through
 * animations the way a click would), Home and End jump to the ends, the
 * slide number followed by Enter jumps to that slide, B and W blank the
 * screen, F5 starts the show from the beginning and Escape ends it.
 *
 * Delivery is PostMessage of WM_KEYDOWN and WM_KEYUP to the window itself,
 * not SendInput or keybd_event. Synthesized input goes to whatever window has
 * the keyboard focus, and the hub is a tray program that cannot bring another
 * program's window forward on demand (Windows refuses SetForegroundWindow to a
 * background process, and stealing the focus from the presenter would be
 * worse). A posted key message lands in the window's own queue, across process
 * boundaries, whether or not the window is active, and the receiving thread's
 * TranslateMessage makes the WM_CHAR for letters and digits as for typed
 * keys. PostMessage also never waits for the other program, so a hung
 * presentation cannot stall this plug-in's thread the way SendMessage would.
 * The price: the receiver's GetKeyState does not change, so only keys that
 * need no Shift or Ctrl are used.
 */
#include "slide_keys.h"
#include "slides_protocol.h"

typedef struct SimpleCommand {
    BYTE command;
    BYTE key;
} SimpleCommand;

static const SimpleCommand kSimpleCommands[] = {
    {SLIDES_CMD_NEXT, VK_NEXT},     {SLIDES_CMD_PREVIOUS, VK_PRIOR}, {SLIDES_CMD_FIRST, VK_HOME},
    {SLIDES_CMD_LAST, VK_END},      {SLIDES_CMD_BLACK, 'B'},         {SLIDES_CMD_WHITE, 'W'},
    {SLIDES_CMD_START, VK_F5},      {SLIDES_CMD_END, VK_ESCAPE},
};

static int GoToKeys(const BYTE *payload, size_t length, KeySequence *keys) {
    char digits[8];
    unsigned slide;
    int n, i;
    if (length != 2) return SLIDES_RESULT_MALFORMED;
    slide = payload[0] | (unsigned)payload[1] << 8;
    if (slide == 0) return SLIDES_RESULT_MALFORMED;
    n = wsprintfA(digits, "%u", slide);
    for (i = 0; i < n; ++i) keys->keys[keys->count++] = (BYTE)digits[i]; /* VK_0..VK_9 are '0'..'9' */
    keys->keys[keys->count++] = VK_RETURN;
    return SLIDES_RESULT_DONE;
}

int KeysForCommand(BYTE command, const BYTE *payload, size_t length, KeySequence *keys) {
    size_t i;
    keys->count = 0;
    if (command == SLIDES_CMD_GOTO) return GoToKeys(payload, length, keys);
    if (command == SLIDES_CMD_QUERY) return length ? SLIDES_RESULT_MALFORMED : SLIDES_RESULT_DONE;
    for (i = 0; i < sizeof kSimpleCommands / sizeof kSimpleCommands[0]; ++i) {
        if (kSimpleCommands[i].command != command) continue;
        if (length) return SLIDES_RESULT_MALFORMED;
        keys->keys[keys->count++] = kSimpleCommands[i].key;
        return SLIDES_RESULT_DONE;
    }
    return SLIDES_RESULT_UNKNOWN;
}

/* The desktop and the shell's own window are "foreground" when nothing else
 * is; keys sent there would go nowhere useful. Nor are the hub's own windows
 * a presentation: Escape or Enter sent to the operator's open dialog would
 * close it or press its default button. */
static BOOL IsUsableForeground(HWND window) {
    DWORD process = 0;
    if (!window || window == GetDesktopWindow() || window == GetShellWindow()) return FALSE;
    return GetWindowThreadProcessId(window, &process) && process != GetCurrentProcessId();
}

BOOL FindPresentationWindow(SlideTarget *target) {
    target->hwnd = FindWindowA("PP97FrameClass", NULL);
    target->kind = SLIDES_WINDOW_PP97;
    if (target->hwnd) return TRUE;
    target->hwnd = FindWindowA("PP9FrameClass", NULL);
    target->kind = SLIDES_WINDOW_PP9;
    if (target->hwnd) return TRUE;
    target->hwnd = GetForegroundWindow();
    target->kind = SLIDES_WINDOW_FOREGROUND;
    if (IsUsableForeground(target->hwnd)) return TRUE;
    target->hwnd = NULL;
    return FALSE;
}

static BOOL IsExtendedKey(BYTE key) {
    /* The navigation block: without the flag the receiver sees the keypad's keys. */
    return key == VK_PRIOR || key == VK_NEXT || key == VK_HOME || key == VK_END;
}

static LPARAM KeyData(BYTE key, BOOL up) {
    DWORD data = 1u | (MapVirtualKeyA(key, 0 /* MAPVK_VK_TO_VSC */) & 0xFFu) << 16;
    if (IsExtendedKey(key)) data |= 1u << 24;
    if (up) data |= 1u << 30 | 1u << 31; /* previous state down, transition up */
    return (LPARAM)data;
}

BOOL PostKeys(HWND window, const KeySequence *keys) {
    int i;
    for (i = 0; i < keys->count; ++i) {
        BYTE key = keys->keys[i];
        if (!PostMessageA(window, WM_KEYDOWN, key, KeyData(key, FALSE)) ||
            !PostMessageA(window, WM_KEYUP, key, KeyData(key, TRUE)))
            return FALSE;
    }
    return TRUE;
}
