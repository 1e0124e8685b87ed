// handheld: stands in for a handheld on the hub's TCP port or on a serial
// port (a real one, or a pty whose other end the hub opens as a COM port).
//
// It connects, sends a connect request (unless told not to; on a serial port
// once the hub's first beacon has come, as a handheld in its cradle does), then the
// packets given on the command line and, if asked, lines typed on standard
// input; a second thread prints every packet that arrives, with a hex dump.
// A person uses it to try the hub without a device; system tests use it to
// drive the hub from outside.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include "link.h"
#include "script.h"
#include "slides_commands.h"
#include "stream/packet.h"

using namespace handheld;

namespace {

const char kUsage[] =
    "usage: handheld [options] [PACKET...]\n"
    "  --host HOST      hub address (127.0.0.1)\n"
    "  --port PORT      hub port (4343)\n"
    "  --serial DEVICE  use a serial port instead (COM5, /dev/ttyUSB0, a pty): 57600 8N1;\n"
    "                   the connect request waits for the hub's first beacon\n"
    "  --ruid TEXT      remote user id, up to 16 bytes (SIMULATOR)\n"
    "  --plugin NAME    plug-in to ask for (Demo)\n"
    "  --user NAME      user name (Simulator)\n"
    "  --flags N        flags byte of the connect request, 0..255 (none)\n"
    "  --no-connect     send no connect request\n"
    "  --send PACKET    a packet to send; may repeat (so may bare PACKET arguments)\n"
    "  -i               then read more lines from standard input\n"
    "  --wait MS        keep listening this long after the last line (1000)\n"
    "A PACKET or line is: CMD [DATA...] | raw DATA... | connect [PLUGIN [USER [FLAGS]]]\n"
    "| sleep MS | quit. CMD is a hex byte or a name (echo, noop, ...); DATA are hex\n"
    "bytes (41, 0x41, 414243) or quoted text. Example: handheld echo \"20 'Hello'\"\n";

struct Options {
    std::string host = "127.0.0.1";
    unsigned port = 4343;
    std::string serial;
    std::string ruid = "SIMULATOR";
    std::string plugin = "Demo";
    std::string user = "Simulator";
    int flags = -1;
    bool connect = true;
    bool interactive = false;
    unsigned waitMs = 1000;
    std::vector<std::string> lines;
};

bool ParseOptions(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        unsigned long n = 0;
        if (arg == "--no-connect") o->connect = false;
        else if (arg == "-i") o->interactive = true;
        else if (!hasValue && arg.rfind("--", 0) == 0) return false;
        else if (arg == "--host") o->host = argv[++i];
        else if (arg == "--serial") o->serial = argv[++i];
        else if (arg == "--port" && ParseNumber(argv[++i], 65535, &n)) o->port = static_cast<unsigned>(n);
        else if (arg == "--ruid") o->ruid = argv[++i];
        else if (arg == "--plugin") o->plugin = argv[++i];
        else if (arg == "--user") o->user = argv[++i];
        else if (arg == "--flags" && ParseNumber(argv[++i], 255, &n)) o->flags = static_cast<int>(n);
        else if (arg == "--wait" && ParseNumber(argv[++i], 3600000, &n)) o->waitMs = static_cast<unsigned>(n);
        else if (arg == "--send") o->lines.push_back(argv[++i]);
        else if (arg.rfind("--", 0) == 0) return false;
        else o->lines.push_back(arg);
    }
    return true;
}

// Set by the receiving thread once the hub has answered a connect request.
std::atomic<bool> g_connectAnswered(false);

const char kNoAnswerHint[] =
    "-- no answer to the connect request. The hub admits a network handheld it does not\n"
    "   know only while its pairing page is open (main dialog: \"Add Connection...\",\n"
    "   Network, OK); once paired, the same --ruid is answered at once until the hub ends.\n";

// Output from both threads, one whole report at a time.
class Printer {
public:
    void Print(const std::string &text) {
        std::lock_guard<std::mutex> lock(m_mutex);
        fputs(text.c_str(), stdout);
        fflush(stdout);
    }

private:
    std::mutex m_mutex;
};

class ReceiveEvents final : public PacketFramer::Events {
public:
    explicit ReceiveEvents(Printer &printer) : m_printer(printer) {}
    void OnForeignSignature() override {}
    void OnNoise(const uint8_t *bytes, size_t count) override {
        m_printer.Print("<- bytes that formed no packet:\n" + HexDump(bytes, count));
    }

private:
    Printer &m_printer;
};

// `leaving` is set before this side ends the link, so that end is not
// reported as the hub's.
// A serial hub greets an unattached handheld once a second; only the first
// beacon is shown.
void ReceiveLoop(Link &link, Printer &printer, std::atomic<bool> &closed, const std::atomic<bool> &leaving,
                 std::atomic<int> &beacons) {
    ReceiveEvents events(printer);
    FramingRules rules;
    rules.foreignSignature = false;  // the hub never sends it; show bytes as they are
    PacketFramer framer(HeapPacketAllocator(), events, rules);
    uint8_t buffer[4096];
    int n;
    while ((n = link.Receive(buffer, sizeof buffer)) > 0) {
        const uint8_t *at = buffer;
        size_t left = static_cast<size_t>(n);
        while (left) {
            size_t used = 0;
            if (uint8_t *packet = framer.Feed(at, left, &used)) {
                uint8_t command = PacketCommand(packet);
                bool beacon = command == NV_CMD_HUB_BEACON;
                if (command == NV_CMD_CONNECT_ACCEPTED || command == NV_CMD_CONNECT_FAILED) g_connectAnswered = true;
                if (!beacon || ++beacons == 1)
                    printer.Print(DescribePacket("<-", packet, PacketSize(packet)) +
                                  DescribeSlidesAnswer(packet, PacketSize(packet)) +
                                  (beacon ? "   (further beacons are not shown)\n" : ""));
                HeapPacketAllocator().Free(packet);
            }
            at += used;
            left -= used;
        }
    }
    if (!framer.AtPacketStart()) printer.Print("<- link ended inside a packet\n");
    if (!leaving) printer.Print(n == 0 ? "-- the hub closed the connection\n" : "-- the connection failed\n");
    closed = true;
}

Action ParseInput(const std::string &line) {
    Action slides;
    return ParseSlidesLine(line, &slides) ? slides : ParseLine(line);
}

// "handheld slides next goto 3": the slides plug-in and one line per request.
bool ApplySlidesShorthand(Options *o) {
    if (o->lines.empty() || o->lines[0] != "slides" || o->lines.size() == 1) return true;
    std::string error;
    if (!SlidesArguments(std::vector<std::string>(o->lines.begin() + 1, o->lines.end()), &o->lines, &error)) {
        fprintf(stderr, "handheld: %s\n", error.c_str());
        return false;
    }
    o->plugin = kSlidesPlugin;
    return true;
}

// Runs one line; false when the simulator should stop.
bool Execute(const Action &action, const Options &o, Link &link, Printer &printer, bool *failed) {
    Bytes wire;
    switch (action.kind) {
    case Action::kNone: return true;
    case Action::kQuit: return false;
    case Action::kError: printer.Print("?? " + action.error + "\n"); return true;
    case Action::kSleep: SleepMs(action.sleepMs); return true;
    case Action::kConnect: {
        Bytes payload = ConnectRequestPayload(o.ruid, action.plugin.empty() ? o.plugin : action.plugin,
                                              action.user.empty() ? o.user : action.user,
                                              action.flags == -2 ? o.flags : action.flags);
        wire = EncodePacket(NV_CMD_CONNECT_REQUEST, payload.data(), payload.size());
        break;
    }
    case Action::kSend: wire = action.bytes; break;
    }
    if (wire.size() >= NV_PACKET_SHORT_HEADER && action.kind != Action::kSend) {
        printer.Print(DescribePacket("->", wire.data(), wire.size()));
    } else {
        PacketHeader header;
        bool whole = ParsePacketHeader(wire.data(), wire.size(), &header) &&
                     wire.size() == header.headerSize + header.payloadLength;
        printer.Print(whole ? DescribePacket("->", wire.data(), wire.size())
                            : "-> raw bytes:\n" + HexDump(wire.data(), wire.size()));
    }
    if (!link.Send(wire.data(), wire.size())) {
        printer.Print("-- sending failed\n");
        *failed = true;
        return false;
    }
    return true;
}

void WaitForReplies(unsigned ms, const std::atomic<bool> &closed) {
    for (unsigned waited = 0; waited < ms && !closed; waited += 10) SleepMs(10);
}

// The hub opens its COM ports at start-up and greets them; a request sent
// before that is lost.
void WaitForBeacon(const std::atomic<int> &beacons, const std::atomic<bool> &closed, Printer &printer) {
    const unsigned kBeaconWaitMs = 30000;
    printer.Print("-- waiting for the hub's beacon\n");
    for (unsigned waited = 0; waited < kBeaconWaitMs && !closed && !beacons; waited += 10) SleepMs(10);
    if (!beacons) printer.Print("-- no beacon from the hub; sending anyway\n");
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    if (!ParseOptions(argc, argv, &o) || !ApplySlidesShorthand(&o)) {
        fputs(kUsage, stderr);
        fputs(kSlidesUsage, stderr);
        return 1;
    }
    std::string error;
    std::string where = o.serial.empty() ? o.host + ":" + std::to_string(o.port) : o.serial;
    std::unique_ptr<Link> link = o.serial.empty() ? ConnectTcp(o.host, o.port, &error) : OpenSerial(o.serial, &error);
    if (!link) {
        fprintf(stderr, "handheld: %s: %s\n", where.c_str(), error.c_str());
        return 2;
    }
    Printer printer;
    printer.Print("-- connected to " + where + "\n");
    std::atomic<bool> closed(false), leaving(false);
    std::atomic<int> beacons(0);
    std::thread receiver([&] { ReceiveLoop(*link, printer, closed, leaving, beacons); });

    bool failed = false, going = true;
    if (o.connect && !o.serial.empty()) WaitForBeacon(beacons, closed, printer);
    if (o.connect) going = Execute(ParseLine("connect"), o, *link, printer, &failed);
    for (size_t i = 0; going && i < o.lines.size(); ++i)
        going = Execute(ParseInput(o.lines[i]), o, *link, printer, &failed);
    std::string line;
    while (going && o.interactive && std::getline(std::cin, line))
        going = Execute(ParseInput(line), o, *link, printer, &failed);
    if (!failed) WaitForReplies(o.waitMs, closed);

    if (o.connect && o.serial.empty() && !failed && !closed && !g_connectAnswered) printer.Print(kNoAnswerHint);
    leaving = true;
    link->Shutdown();
    receiver.join();
    printer.Print("-- disconnected\n");
    return failed ? 3 : 0;
}
