// The slides requests' names, their packets, and the answers in words.
#include "slides_commands.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include "slides_protocol.h"
#include "stream/packet.h"

namespace handheld {

const char kSlidesPlugin[] = "slides";
const char kSlidesUsage[] =
    "handheld slides REQUEST...   connect to the slides plug-in and send the requests:\n"
    "  next, previous, first, last, goto N, black, white, start, end, query\n"
    "  (also as lines: \"slides next\"). Example: handheld slides start goto 4 query\n";

namespace {

struct SlidesName {
    const char *name;
    uint8_t command;
};
const SlidesName kRequests[] = {
    {"next", SLIDES_CMD_NEXT},   {"previous", SLIDES_CMD_PREVIOUS}, {"prev", SLIDES_CMD_PREVIOUS},
    {"first", SLIDES_CMD_FIRST}, {"last", SLIDES_CMD_LAST},         {"goto", SLIDES_CMD_GOTO},
    {"black", SLIDES_CMD_BLACK}, {"white", SLIDES_CMD_WHITE},       {"start", SLIDES_CMD_START},
    {"end", SLIDES_CMD_END},     {"query", SLIDES_CMD_QUERY},
};

const char *const kResults[] = {"done", "no presentation window", "unknown command", "malformed command",
                                "the window refused the keys"};
const char *const kWindows[] = {"", "PP97FrameClass window", "PP9FrameClass window", "foreground window"};

const SlidesName *FindRequest(const std::string &word) {
    for (const SlidesName &request : kRequests)
        if (word == request.name) return &request;
    return nullptr;
}

const char *RequestName(uint8_t command) {
    for (const SlidesName &request : kRequests)
        if (request.command == command) return request.name;
    return nullptr;
}

bool ParseSlide(const std::string &text, unsigned *slide) {
    char *end = nullptr;
    unsigned long n = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end || n < 1 || n > 65535) return false;
    *slide = static_cast<unsigned>(n);
    return true;
}

Action SlidesError(const std::string &text) {
    Action action;
    action.kind = Action::kError;
    action.error = text;
    return action;
}

}  // namespace

bool ParseSlidesLine(const std::string &line, Action *action) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    if (words.empty() || words[0] != "slides") return false;
    const SlidesName *request = words.size() >= 2 ? FindRequest(words[1]) : nullptr;
    if (!request) {
        *action = SlidesError("slides needs a request: next, previous, first, last, goto N, black, white, start, "
                              "end, query");
        return true;
    }
    size_t arguments = request->command == SLIDES_CMD_GOTO ? 1 : 0;
    unsigned slide = 0;
    if (words.size() != 2 + arguments || (arguments && !ParseSlide(words[2], &slide))) {
        *action = SlidesError(arguments ? "slides goto takes a slide number, 1..65535"
                                        : "slides " + words[1] + " takes nothing more");
        return true;
    }
    Bytes payload;
    if (arguments) payload = {static_cast<uint8_t>(slide & 0xFF), static_cast<uint8_t>(slide >> 8)};
    Action send;
    send.kind = Action::kSend;
    send.bytes = EncodePacket(request->command, payload.data(), payload.size());
    *action = send;
    return true;
}

bool SlidesArguments(const std::vector<std::string> &words, std::vector<std::string> *lines, std::string *error) {
    std::vector<std::string> out;
    for (size_t i = 0; i < words.size(); ++i) {
        const SlidesName *request = FindRequest(words[i]);
        if (!request) {
            *error = "not a slides request: " + words[i];
            return false;
        }
        std::string line = "slides " + words[i];
        if (request->command == SLIDES_CMD_GOTO) {
            unsigned slide = 0;
            if (i + 1 == words.size() || !ParseSlide(words[i + 1], &slide)) {
                *error = "goto needs a slide number, 1..65535";
                return false;
            }
            line += " " + words[++i];
        }
        out.push_back(line);
    }
    *lines = out;
    return true;
}

std::string DescribeSlidesAnswer(const uint8_t *packet, size_t size) {
    PacketHeader header;
    if (!ParsePacketHeader(packet, size, &header) || header.command != SLIDES_ANSWER || header.payloadLength < 2 ||
        size < header.headerSize + header.payloadLength)
        return "";
    const uint8_t *payload = packet + header.headerSize;
    const char *request = RequestName(payload[0]);
    char number[24];
    snprintf(number, sizeof number, "request 0x%02X", payload[0]);
    std::string text = std::string("   slides: ") + (request ? request : number) + ": ";
    text += payload[1] < sizeof kResults / sizeof kResults[0] ? kResults[payload[1]]
                                                              : "result " + std::to_string(payload[1]);
    if (payload[0] == SLIDES_CMD_QUERY && payload[1] == SLIDES_RESULT_DONE && header.payloadLength >= 3) {
        uint8_t kind = payload[2];
        text += std::string(", ") + (kind < sizeof kWindows / sizeof kWindows[0] && kind ? kWindows[kind] : "window");
        text += " \"" + std::string(reinterpret_cast<const char *>(payload + 3), header.payloadLength - 3) + "\"";
    }
    return text + "\n";
}

}  // namespace handheld
