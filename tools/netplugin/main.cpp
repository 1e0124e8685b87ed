// netplugin: stands in for a network plug-in on the hub's plug-in port.
//
// It connects, names itself, and prints every user that arrives or leaves
// and every packet with the id of the user it came from. It can echo each
// packet to its sender, broadcast it to every user, answer from a small
// script, and send what is typed on standard input. Authors of network
// plug-ins use it to see the link at work; tests and the benchmark use it as
// the plug-in on the far side of the hub.
//
// It shares the handheld simulator's link and line language, so both tools
// spell packets the same way.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include "link.h"
#include "rules.h"
#include "script.h"
#include "stream/packet.h"

using namespace handheld;
using namespace netplugin;

namespace {

const char kUsage[] =
    "usage: netplugin [options]\n"
    "  --host HOST      hub address (127.0.0.1)\n"
    "  --port PORT      hub plug-in port (4242)\n"
    "  --name NAME      name to register under (Demo)\n"
    "  --echo           send every packet back to the user it came from\n"
    "  --broadcast      send every packet to every user\n"
    "  --script FILE    answer by the rules in FILE (see below)\n"
    "  --send LINE      a line to send once named; may repeat\n"
    "  -i               then read more lines from standard input\n"
    "  --quiet          print arrivals and departures, not every packet\n"
    "A LINE is [@ID] PACKET: ID is a user id (0 or \"all\": every user; default all),\n"
    "PACKET as for handheld: CMD [DATA...], e.g. @100 20 'Hello'. sleep MS and quit work too.\n"
    "A rule is: on TRIGGER [all] PACKET, TRIGGER a command (20, echo, any) or added or\n"
    "removed; the answer goes to the user that set it off, or with all to every user.\n"
    "Runs until the hub closes the link (exit 0) or standard input ends with -i.\n";

struct Options {
    std::string host = "127.0.0.1";
    unsigned port = 4242;
    std::string name = "Demo";
    bool echo = false;
    bool broadcast = false;
    bool interactive = false;
    bool quiet = false;
    std::string scriptFile;
    std::vector<std::string> lines;
};

bool ParseOptions(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        unsigned long n = 0;
        if (arg == "--echo") o->echo = true;
        else if (arg == "--broadcast") o->broadcast = true;
        else if (arg == "--quiet") o->quiet = true;
        else if (arg == "-i") o->interactive = true;
        else if (!hasValue) return false;
        else if (arg == "--host") o->host = argv[++i];
        else if (arg == "--port" && ParseNumber(argv[++i], 65535, &n)) o->port = static_cast<unsigned>(n);
        else if (arg == "--name") o->name = argv[++i];
        else if (arg == "--script") o->scriptFile = argv[++i];
        else if (arg == "--send") o->lines.push_back(argv[++i]);
        else return false;
    }
    return true;
}

// One link, written by the receiving and the typing thread, one packet at a
// time; everything printed goes out whole and at once.
class Plugin {
public:
    Plugin(Link &link, bool quiet) : m_link(link), m_bQuiet(quiet) {}

    void Print(const std::string &text) {
        std::lock_guard<std::mutex> lock(m_printMutex);
        fputs(text.c_str(), stdout);
        fflush(stdout);
    }
    bool Send(uint8_t id, const Bytes &packet) {
        Bytes wire = ToLink(packet, id);
        if (wire.empty()) return false;
        if (!m_bQuiet) Print(Tagged("->", id, packet));
        std::lock_guard<std::mutex> lock(m_sendMutex);
        return m_link.Send(wire.data(), wire.size());
    }
    std::string Tagged(const char *direction, uint8_t id, const Bytes &packet) const {
        std::string who = id == kAllUsers ? "all" : id == kNoUser ? "hub" : std::to_string(id);
        return "[" + who + "] " + DescribePacket(direction, packet.data(), packet.size());
    }
    bool Quiet() const { return m_bQuiet; }

private:
    Link &m_link;
    const bool m_bQuiet;
    std::mutex m_printMutex, m_sendMutex;
};

class QuietEvents final : public PacketFramer::Events {
public:
    explicit QuietEvents(Plugin &plugin) : m_plugin(plugin) {}
    void OnForeignSignature() override {}
    void OnNoise(const uint8_t *bytes, size_t count) override {
        m_plugin.Print("<- bytes that formed no packet:\n" + HexDump(bytes, count));
    }

private:
    Plugin &m_plugin;
};

void Answer(Plugin &plugin, const Options &o, const std::vector<Rule> &rules, uint8_t id, const Bytes &packet) {
    uint8_t command = packet[0];
    bool control = command == NV_CMD_USER_ADDED || command == NV_CMD_USER_REMOVED;
    if (!control && o.echo) plugin.Send(id, packet);
    if (!control && o.broadcast) plugin.Send(kAllUsers, packet);
    for (const Rule &rule : rules)
        if (rule.Matches(command)) plugin.Send(rule.toAll ? kAllUsers : id, rule.packet);
}

void Report(Plugin &plugin, uint8_t id, const Bytes &packet) {
    PacketHeader header;
    ParsePacketHeader(packet.data(), packet.size(), &header);
    std::string payload(packet.begin() + header.headerSize, packet.end());
    if (packet[0] == NV_CMD_USER_ADDED)
        plugin.Print("++ user " + std::to_string(id) + " added: \"" + payload + "\"\n");
    else if (packet[0] == NV_CMD_USER_REMOVED)
        plugin.Print("-- user " + std::to_string(id) + " removed\n");
    else if (!plugin.Quiet())
        plugin.Print(plugin.Tagged("<-", id, packet));
}

// The link as the framing reads it: one Receive of whatever has arrived.
class LinkSource final : public PacketByteSource {
public:
    explicit LinkSource(Link &link) : m_link(link) {}
    int ReadBytes(void *buffer, int count) override {
        m_last = m_link.Receive(static_cast<uint8_t *>(buffer), static_cast<size_t>(count));
        return m_last > 0 ? m_last : 0;
    }
    bool Ended() const { return m_last <= 0; }
    int Last() const { return m_last; }

private:
    Link &m_link;
    int m_last = 1;
};

// Until the hub ends the link; true when it did (rather than failing). Reads
// as the hub does: into a buffer, however many packets one read brings, and
// a large payload straight into its packet.
bool ReceiveLoop(Link &link, Plugin &plugin, const Options &o, const std::vector<Rule> &rules,
                 const std::atomic<bool> &leaving) {
    QuietEvents events(plugin);
    LinkSource source(link);
    PacketReader reader(HeapPacketAllocator(), events, LinkFramingRules(), 64 * 1024);
    for (;;) {
        uint8_t *raw = reader.Next(source);
        if (!raw) {
            if (source.Ended()) break;
            continue;  // bytes that formed no packet, reported as noise
        }
        Bytes packet(raw, raw + PacketSize(raw));
        HeapPacketAllocator().Free(raw);
        Report(plugin, reader.ConnectionId(), packet);
        Answer(plugin, o, rules, reader.ConnectionId(), packet);
    }
    int n = source.Last();
    if (!leaving) plugin.Print(n == 0 ? "-- the hub closed the connection\n" : "-- the connection failed\n");
    return n == 0;
}

// Runs one typed or given line; false when the plug-in should stop.
bool Execute(Plugin &plugin, const std::string &line) {
    TargetedLine targeted = ParseTargetedLine(line);
    if (!targeted.error.empty()) {
        plugin.Print("?? " + targeted.error + "\n");
        return true;
    }
    const Action &action = targeted.action;
    switch (action.kind) {
    case Action::kQuit: return false;
    case Action::kSleep: SleepMs(action.sleepMs); return true;
    case Action::kSend: return plugin.Send(targeted.id, action.bytes);
    default: return true;
    }
}

bool LoadRules(const std::string &file, std::vector<Rule> *rules) {
    std::ifstream in(file);
    if (!in) {
        fprintf(stderr, "netplugin: cannot read %s\n", file.c_str());
        return false;
    }
    std::string line, error;
    for (int number = 1; std::getline(in, line); ++number) {
        Rule rule;
        if (!ParseRule(line, &rule, &error)) {
            fprintf(stderr, "netplugin: %s:%d: %s\n", file.c_str(), number, error.c_str());
            return false;
        }
        if (rule.trigger != Rule::kNone) rules->push_back(rule);
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    std::vector<Rule> rules;
    if (!ParseOptions(argc, argv, &o)) {
        fputs(kUsage, stderr);
        return 1;
    }
    if (!o.scriptFile.empty() && !LoadRules(o.scriptFile, &rules)) return 1;
    std::string error;
    std::unique_ptr<Link> link = ConnectTcp(o.host, o.port, &error);
    if (!link) {
        fprintf(stderr, "netplugin: %s:%u: %s\n", o.host.c_str(), o.port, error.c_str());
        return 2;
    }
    Plugin plugin(*link, o.quiet);
    plugin.Print("-- connected to " + o.host + ":" + std::to_string(o.port) + " as " + o.name + "\n");
    if (!plugin.Send(kNoUser, EncodePacket(NV_CMD_PLUGIN_NAME, o.name.data(), o.name.size()))) return 3;
    for (const std::string &line : o.lines)
        if (!Execute(plugin, line)) return 0;

    std::atomic<bool> leaving(false);
    if (!o.interactive) return ReceiveLoop(*link, plugin, o, rules, leaving) ? 0 : 3;
    std::thread receiver([&] { ReceiveLoop(*link, plugin, o, rules, leaving); });
    std::string line;
    while (std::getline(std::cin, line) && Execute(plugin, line)) {
    }
    leaving = true;
    link->Shutdown();
    receiver.join();
    plugin.Print("-- disconnected\n");
    return 0;
}
