// The network plug-in simulator's byte-level side: the link format (a
// connection-id byte after every header), lines aimed at one user or all,
// and the answering rules of a script. Free of socket and OS headers, like
// the handheld simulator's script code it builds on.
#pragma once
#include <stdint.h>
#include <string>
#include "script.h"
#include "stream/packet.h"

namespace netplugin {

using handheld::Bytes;

constexpr uint8_t kAllUsers = 0;  // from the plug-in: every attached user
constexpr uint8_t kNoUser = 255;  // nobody (the plug-in's name goes with it)

// Framing of the plug-in link, as the simulator reads it.
FramingRules LinkFramingRules();
// A whole packet as it goes on the link: the id byte inserted after the
// header. Empty when `packet` is not one whole packet.
Bytes ToLink(const Bytes &packet, uint8_t id);

// "[@ID|@all] LINE": a line of the handheld simulator's language aimed at a
// user (default: every user).
struct TargetedLine {
    uint8_t id = kAllUsers;
    handheld::Action action;
    std::string error;  // set when the line means nothing
};
TargetedLine ParseTargetedLine(const std::string &line);

// "on TRIGGER [all] PACKET". Blank lines and lines starting with # are
// kNone. TRIGGER is a command byte or name, "any" (every packet that is not
// a user arriving or leaving), "added" or "removed".
struct Rule {
    enum Trigger { kNone, kCommand, kAny, kAdded, kRemoved };
    Trigger trigger = kNone;
    uint8_t command = 0;
    bool toAll = false;
    Bytes packet;
    bool Matches(uint8_t received) const;
};
bool ParseRule(const std::string &line, Rule *rule, std::string *error);

}  // namespace netplugin
