// Parsing of the simulator's lines and formatting of what it prints.
#include "script.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include "norvane_plugin.h"
#include "stream/packet.h"

namespace handheld {

bool ParseNumber(const char *text, unsigned long max, unsigned long *value) {
    char *end = nullptr;
    *value = std::strtoul(text, &end, 0);
    return *text && !*end && *value <= max;
}

namespace {

struct NamedCommand {
    const char *name;
    uint8_t command;
};
const NamedCommand kCommands[] = {
    {"beacon", NV_CMD_HUB_BEACON},           {"connect-request", NV_CMD_CONNECT_REQUEST},
    {"connect-accepted", NV_CMD_CONNECT_ACCEPTED}, {"connect-failed", NV_CMD_CONNECT_FAILED},
    {"echo", NV_CMD_ECHO},                   {"noop", NV_CMD_NOOP},
    {"user-added", NV_CMD_USER_ADDED},       {"user-removed", NV_CMD_USER_REMOVED},
    {"plugin-name", NV_CMD_PLUGIN_NAME},
};

// Splits on blanks; a token that starts with a quote runs to the matching
// quote and keeps its quotes so that it is recognised as text.
bool Tokenize(const std::string &line, std::vector<std::string> *tokens, std::string *error) {
    size_t i = 0;
    while (i < line.size()) {
        if (isspace(static_cast<unsigned char>(line[i]))) {
            ++i;
            continue;
        }
        size_t start = i;
        if (line[i] == '"' || line[i] == '\'') {
            size_t end = line.find(line[i], i + 1);
            if (end == std::string::npos) {
                *error = "unterminated quote";
                return false;
            }
            i = end + 1;
        } else {
            while (i < line.size() && !isspace(static_cast<unsigned char>(line[i]))) ++i;
        }
        tokens->push_back(line.substr(start, i - start));
    }
    return true;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// "41", "0x41", "414243" or quoted text.
bool AppendData(const std::string &token, Bytes *out) {
    if (token.size() >= 2 && (token[0] == '"' || token[0] == '\'')) {
        out->insert(out->end(), token.begin() + 1, token.end() - 1);
        return true;
    }
    std::string hex = token;
    if (hex.size() > 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X')) hex = hex.substr(2);
    if (hex.empty() || hex.size() % 2) return false;
    for (size_t i = 0; i < hex.size(); i += 2) {
        int high = HexValue(hex[i]), low = HexValue(hex[i + 1]);
        if (high < 0 || low < 0) return false;
        out->push_back(static_cast<uint8_t>(high * 16 + low));
    }
    return true;
}

bool ParseCommand(const std::string &token, uint8_t *command) {
    for (const NamedCommand &named : kCommands)
        if (token == named.name) {
            *command = named.command;
            return true;
        }
    Bytes one;
    if (!AppendData(token, &one) || one.size() != 1 || token[0] == '"' || token[0] == '\'') return false;
    *command = one[0];
    return true;
}

Action Error(const std::string &text) {
    Action action;
    action.kind = Action::kError;
    action.error = text;
    return action;
}

Action ParseConnect(const std::vector<std::string> &tokens) {
    Action action;
    action.kind = Action::kConnect;
    auto text = [](const std::string &t) {
        return t.size() >= 2 && (t[0] == '"' || t[0] == '\'') ? t.substr(1, t.size() - 2) : t;
    };
    if (tokens.size() > 1) action.plugin = text(tokens[1]);
    if (tokens.size() > 2) action.user = text(tokens[2]);
    if (tokens.size() > 3) {
        char *end = nullptr;
        long flags = strtol(tokens[3].c_str(), &end, 0);
        if (*end || flags < -1 || flags > 255) return Error("flags must be 0..255, or -1 for none");
        action.flags = static_cast<int>(flags);
    }
    if (tokens.size() > 4) return Error("connect takes at most plug-in, user and flags");
    return action;
}

}  // namespace

Action ParseLine(const std::string &line) {
    std::vector<std::string> tokens;
    std::string error;
    if (!Tokenize(line, &tokens, &error)) return Error(error);
    Action action;
    if (tokens.empty() || tokens[0][0] == '#') return action;
    const std::string &first = tokens[0];
    if (first == "quit" || first == "exit") {
        action.kind = Action::kQuit;
        return action;
    }
    if (first == "sleep") {
        char *end = nullptr;
        unsigned long ms = tokens.size() == 2 ? strtoul(tokens[1].c_str(), &end, 10) : 0;
        if (tokens.size() != 2 || *end || ms > 600000) return Error("sleep takes milliseconds (up to 600000)");
        action.kind = Action::kSleep;
        action.sleepMs = static_cast<unsigned>(ms);
        return action;
    }
    if (first == "connect") return ParseConnect(tokens);
    Bytes data;
    for (size_t i = 1; i < tokens.size(); ++i)
        if (!AppendData(tokens[i], &data)) return Error("not hex bytes or quoted text: " + tokens[i]);
    action.kind = Action::kSend;
    if (first == "raw") {
        if (data.empty()) return Error("raw needs bytes");
        action.bytes = data;
        return action;
    }
    uint8_t command = 0;
    if (!ParseCommand(first, &command)) return Error("not a command byte or name: " + first);
    if (data.size() > kMaxPacketPayload) return Error("payload too large");
    action.bytes = EncodePacket(command, data.data(), data.size());
    return action;
}

Bytes ConnectRequestPayload(const std::string &ruid, const std::string &plugin, const std::string &user, int flags) {
    Bytes payload(16, 0);
    memcpy(payload.data(), ruid.data(), ruid.size() < 16 ? ruid.size() : 16);
    payload.insert(payload.end(), plugin.begin(), plugin.end());
    payload.push_back(0);
    payload.insert(payload.end(), user.begin(), user.end());
    payload.push_back(0);
    if (flags >= 0 && flags <= 255) payload.push_back(static_cast<uint8_t>(flags));
    return payload;
}

const char *CommandName(uint8_t command) {
    for (const NamedCommand &named : kCommands)
        if (named.command == command) return named.name;
    return "data";
}

std::string HexDump(const uint8_t *bytes, size_t count) {
    std::string out;
    char line[100];
    for (size_t at = 0; at < count; at += 16) {
        int n = snprintf(line, sizeof line, "    %04x ", static_cast<unsigned>(at));
        std::string chars;
        for (size_t i = 0; i < 16; ++i) {
            if (at + i < count) {
                n += snprintf(line + n, sizeof line - n, " %02X", bytes[at + i]);
                chars += isprint(bytes[at + i]) ? static_cast<char>(bytes[at + i]) : '.';
            } else {
                n += snprintf(line + n, sizeof line - n, "   ");
            }
        }
        out += line;
        out += "  " + chars + "\n";
    }
    return out;
}

std::string DescribePacket(const char *direction, const uint8_t *packet, size_t size) {
    PacketHeader header;
    if (!ParsePacketHeader(packet, size, &header)) return std::string(direction) + " (not a packet)\n";
    char line[120];
    snprintf(line, sizeof line, "%s 0x%02X %s, %u bytes\n", direction, header.command, CommandName(header.command),
             static_cast<unsigned>(header.payloadLength));
    size_t shown = size - header.headerSize;
    return line + HexDump(packet + header.headerSize, shown);
}

}  // namespace handheld
