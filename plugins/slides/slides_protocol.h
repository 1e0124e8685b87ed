/*
 * The packets between a handheld and the slides plug-in.
 *
 * One command byte per presenter action, all in the range the hub forwards
 * unchanged (0x40 and up, clear of the hub's own commands and of the lead-in
 * byte 8), so a handheld needs no more than the packet format to drive a
 * show. Every request gets exactly one SLIDES_ANSWER, which names the request
 * it answers: a handheld that sent several buttons in a row can tell the
 * answers apart, and a handheld that speaks to the wrong plug-in learns it
 * from the missing answers. The values are a wire contract with handhelds in
 * the field; append, never renumber. The handheld simulator shares this
 * header, which is why it stays free of <windows.h>.
 */
#ifndef SLIDES_PROTOCOL_H
#define SLIDES_PROTOCOL_H

/* Requests, handheld -> plug-in. All but SLIDES_CMD_GOTO carry no payload. */
#define SLIDES_CMD_NEXT      0x40
#define SLIDES_CMD_PREVIOUS  0x41
#define SLIDES_CMD_FIRST     0x42
#define SLIDES_CMD_LAST      0x43
#define SLIDES_CMD_GOTO      0x44  /* payload: slide number, 16-bit little-endian, 1..65535 */
#define SLIDES_CMD_BLACK     0x45  /* toggles, as the key does */
#define SLIDES_CMD_WHITE     0x46  /* toggles, as the key does */
#define SLIDES_CMD_START     0x47
#define SLIDES_CMD_END       0x48
#define SLIDES_CMD_QUERY     0x49

/* Answer, plug-in -> handheld. Payload: the request's command byte, a result
 * byte, and for a successful SLIDES_CMD_QUERY the window's kind byte followed
 * by up to SLIDES_MAX_TITLE bytes of its title (no terminating zero). */
#define SLIDES_ANSWER        0x50

#define SLIDES_RESULT_DONE          0  /* the keys were posted to the window */
#define SLIDES_RESULT_NO_WINDOW     1  /* no presentation window and no foreground window */
#define SLIDES_RESULT_UNKNOWN       2  /* not a command of this plug-in */
#define SLIDES_RESULT_MALFORMED     3  /* a known command with a payload it does not take */
#define SLIDES_RESULT_NOT_DELIVERED 4  /* the window was found but refused the keys */

#define SLIDES_WINDOW_PP97        1  /* a "PP97FrameClass" window */
#define SLIDES_WINDOW_PP9         2  /* a "PP9FrameClass" window */
#define SLIDES_WINDOW_FOREGROUND  3  /* neither: the foreground window */

#define SLIDES_MAX_TITLE 255

#endif /* SLIDES_PROTOCOL_H */
