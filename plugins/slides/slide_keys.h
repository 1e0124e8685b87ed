/*
 * What each slides request means at the keyboard, and how those keys reach
 * a presentation window that belongs to another program.
 *
 * Kept apart from the plug-in's thread and user table so that the mapping
 * from request to keys is one table a reader can check against what a
 * presenter would press.
 */
#ifndef SLIDE_KEYS_H
#define SLIDE_KEYS_H

#include <stddef.h>
#include <windows.h>

#define SLIDE_KEYS_MAX 8  /* "go to 65535" is five digits and Enter */

typedef struct KeySequence {
    BYTE keys[SLIDE_KEYS_MAX];  /* virtual-key codes, pressed and released in order */
    int count;
} KeySequence;

typedef struct SlideTarget {
    HWND hwnd;
    int kind;  /* SLIDES_WINDOW_* */
} SlideTarget;

/* The keys for one request: SLIDES_RESULT_DONE with *keys filled (no keys for
 * the query), or SLIDES_RESULT_UNKNOWN / SLIDES_RESULT_MALFORMED. */
int KeysForCommand(BYTE command, const BYTE *payload, size_t length, KeySequence *keys);

/* The presentation window: "PP97FrameClass", else "PP9FrameClass", else the
 * foreground window unless it is the desktop or one of this process's own.
 * FALSE when there is none. */
BOOL FindPresentationWindow(SlideTarget *target);

/* Posts WM_KEYDOWN/WM_KEYUP for each key; FALSE when a post failed (the
 * window went away, or its queue is full). */
BOOL PostKeys(HWND window, const KeySequence *keys);

#endif /* SLIDE_KEYS_H */
