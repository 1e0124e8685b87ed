// The handheld simulator's byte-level side: what a typed or command-line
// line means, the connect request, and how a received packet is printed.
//
// Kept free of any socket or OS header, so the same rules hold on Linux and
// Windows and can be tried without a hub.
#pragma once
#include <stdint.h>
#include <string>
#include <vector>

namespace handheld {

using Bytes = std::vector<uint8_t>;

// A command-line number (decimal or 0x hex) of at most `max`; both simulators' options use it.
bool ParseNumber(const char *text, unsigned long max, unsigned long *value);

// One line of the simulator's little language:
//   CMD [DATA...]     a packet: CMD is a byte ("05", "0x20", or echo, noop,
//                     connect-accepted...); DATA are hex bytes ("41", "0x41",
//                     "414243") or quoted text ("Hello world", 'A B')
//   raw DATA...       bytes sent as they stand, no header
//   connect [PLUGIN [USER [FLAGS]]]   another connect request
//   sleep MS          pause
//   quit              close the connection and end
struct Action {
    enum Kind { kNone, kSend, kConnect, kSleep, kQuit, kError };
    Kind kind = kNone;
    Bytes bytes;          // kSend: exactly what goes on the wire
    std::string plugin;   // kConnect: empty fields keep the defaults
    std::string user;
    int flags = -2;       // kConnect: -2 keep default, -1 none, else the byte
    unsigned sleepMs = 0;
    std::string error;    // kError
};

Action ParseLine(const std::string &line);

// The connect request's payload: the RUID's first 16 bytes (zero-padded),
// the plug-in and user names each with a terminating zero, then the flags
// byte when flags is 0..255 (none when negative).
Bytes ConnectRequestPayload(const std::string &ruid, const std::string &plugin, const std::string &user, int flags);

// "<- 0x05 ECHO, 0 bytes" followed by a hex dump of the payload.
std::string DescribePacket(const char *direction, const uint8_t *packet, size_t size);
// Offset, 16 hex bytes and their printable characters per line.
std::string HexDump(const uint8_t *bytes, size_t count);
const char *CommandName(uint8_t command);

}  // namespace handheld
