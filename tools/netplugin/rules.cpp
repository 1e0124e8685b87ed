// Link format, targeted lines and rules of the network plug-in simulator.
#include "rules.h"

#include <cctype>
#include <cstdlib>
#include <sstream>

namespace netplugin {

namespace {

std::string Trim(const std::string &text) {
    size_t begin = 0, end = text.size();
    while (begin < end && isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return text.substr(begin, end - begin);
}

// The first word of `text`, and the rest behind it.
std::string FirstWord(const std::string &text, std::string *rest) {
    size_t end = 0;
    while (end < text.size() && !isspace(static_cast<unsigned char>(text[end]))) ++end;
    std::string word = text.substr(0, end);  // `text` may be *rest itself
    *rest = Trim(text.substr(end));
    return word;
}

bool IsWholePacket(const Bytes &bytes) {
    PacketHeader header;
    return ParsePacketHeader(bytes.data(), bytes.size(), &header) &&
           bytes.size() == header.headerSize + static_cast<size_t>(header.payloadLength);
}

// A command given as a name the simulators know, or as a byte.
bool ParseCommand(const std::string &word, uint8_t *command) {
    handheld::Action action = handheld::ParseLine(word);
    if (action.kind != handheld::Action::kSend || action.bytes.size() != NV_PACKET_SHORT_HEADER) return false;
    *command = action.bytes[0];
    return true;
}

}  // namespace

FramingRules LinkFramingRules() {
    FramingRules rules;
    rules.foreignSignature = false;
    rules.idByte = true;
    return rules;
}

Bytes ToLink(const Bytes &packet, uint8_t id) {
    if (!IsWholePacket(packet)) return Bytes();
    size_t header = PacketHeaderSize(packet.data());
    Bytes wire(packet.begin(), packet.begin() + static_cast<long>(header));
    wire.push_back(id);
    wire.insert(wire.end(), packet.begin() + static_cast<long>(header), packet.end());
    return wire;
}

TargetedLine ParseTargetedLine(const std::string &line) {
    TargetedLine out;
    std::string rest = Trim(line);
    if (!rest.empty() && rest[0] == '@') {
        std::string target = FirstWord(rest.substr(1), &rest);
        char *end = nullptr;
        unsigned long id = strtoul(target.c_str(), &end, 0);
        if (target == "all") {
            out.id = kAllUsers;
        } else if (!target.empty() && !*end && id <= 255) {
            out.id = static_cast<uint8_t>(id);
        } else {
            out.error = "not a user id: " + target;
            return out;
        }
    }
    out.action = handheld::ParseLine(rest);
    if (out.action.kind == handheld::Action::kError) out.error = out.action.error;
    else if (out.action.kind == handheld::Action::kConnect) out.error = "a plug-in sends no connect request";
    else if (out.action.kind == handheld::Action::kSend && !IsWholePacket(out.action.bytes))
        out.error = "the link takes whole packets only";
    return out;
}

bool Rule::Matches(uint8_t received) const {
    switch (trigger) {
    case kCommand: return received == command;
    case kAny: return received != NV_CMD_USER_ADDED && received != NV_CMD_USER_REMOVED;
    case kAdded: return received == NV_CMD_USER_ADDED;
    case kRemoved: return received == NV_CMD_USER_REMOVED;
    default: return false;
    }
}

bool ParseRule(const std::string &line, Rule *rule, std::string *error) {
    *rule = Rule();
    std::string rest = Trim(line);
    if (rest.empty() || rest[0] == '#') return true;
    if (FirstWord(rest, &rest) != "on") {
        *error = "a rule starts with on";
        return false;
    }
    std::string trigger = FirstWord(rest, &rest);
    if (trigger == "any") rule->trigger = Rule::kAny;
    else if (trigger == "added") rule->trigger = Rule::kAdded;
    else if (trigger == "removed") rule->trigger = Rule::kRemoved;
    else if (ParseCommand(trigger, &rule->command)) rule->trigger = Rule::kCommand;
    else {
        *error = "not a trigger: " + trigger;
        return false;
    }
    std::string after;
    if (FirstWord(rest, &after) == "all") {
        rule->toAll = true;
        rest = after;
    }
    handheld::Action action = handheld::ParseLine(rest);
    if (action.kind != handheld::Action::kSend || !IsWholePacket(action.bytes)) {
        *error = action.kind == handheld::Action::kError ? action.error : "the answer is not a packet";
        return false;
    }
    rule->packet = action.bytes;
    return true;
}

}  // namespace netplugin
