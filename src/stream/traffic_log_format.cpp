// Traffic log formatting. Column positions are fixed (data at column 18,
// characters at 42) because people compare logs of different runs side by
// side; a short last line is padded so its characters stay in their column.
#include "stream/traffic_log_format.h"

#include "stream/packet.h"

namespace {

const char kLineEnd[] = "\r\n";
const char kDataIndent[] = "                  ";  // 18 blanks: the label and command columns
const size_t kBytesPerLine = 8;

void AppendHexByte(std::string &out, uint8_t b) {
    static const char digits[] = "0123456789ABCDEF";
    out += digits[b >> 4];
    out += digits[b & 0x0F];
    out += ' ';
}

char Printable(uint8_t b) { return (b >= 0x20 && b <= 0x7E) ? static_cast<char>(b) : '.'; }

void AppendCommand(std::string &out, uint8_t command) {
    // "%3d    " without snprintf: the value is at most 255.
    char field[8] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', 0};
    int pos = 2;
    unsigned v = command;
    do {
        field[pos--] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    out += field;
}

}  // namespace

const std::string &TrafficLogHeader() {
    static const std::string header =
        std::string("Sender  Cmd (dec) Data (hex)              Data (ASCII)") + kLineEnd +
        "------  --------- ----------------------- ------------" + kLineEnd;
    return header;
}

namespace {

// Dump lines of `count` bytes; a continuation of an earlier piece starts
// with the indent like every line after an entry's first.
void AppendDumpLines(std::string &out, const uint8_t *bytes, size_t count, bool continuation) {
    out.reserve(out.size() + (count / kBytesPerLine + 1) * 52);
    char chars[kBytesPerLine];
    for (size_t i = 0; i < count; ++i) {
        size_t column = i % kBytesPerLine;
        if ((i != 0 || continuation) && column == 0) out += kDataIndent;
        AppendHexByte(out, bytes[i]);
        chars[column] = Printable(bytes[i]);
        if (column == kBytesPerLine - 1) {
            out.append(chars, kBytesPerLine);
            out += kLineEnd;
        }
    }
    size_t tail = count % kBytesPerLine;
    if (tail) {
        for (size_t i = tail; i < kBytesPerLine; ++i) out += "   ";
        out.append(chars, tail);
        out += kLineEnd;
    }
}

void WriteEntry(const LogSink &sink, std::string lead, const uint8_t *bytes, size_t count) {
    if (count == 0) {
        sink(lead + kLineEnd);
        return;
    }
    std::string piece = std::move(lead);
    for (size_t done = 0; done < count;) {
        size_t n = count - done < kLogPieceBytes ? count - done : kLogPieceBytes;
        AppendDumpLines(piece, bytes + done, n, done != 0);
        sink(piece);
        piece.clear();
        done += n;
    }
}

std::string PacketLead(const uint8_t *packet, LogDirection direction) {
    std::string lead = direction == LogDirection::Read ? "USER       " : "PLUGIN     ";
    AppendCommand(lead, PacketCommand(packet));
    return lead;
}

size_t PacketDumpCount(const uint8_t *packet, size_t size) {
    size_t count = PacketShortLength(packet);
    return count > size - NV_PACKET_SHORT_HEADER ? size - NV_PACKET_SHORT_HEADER : count;
}

const char kNoiseLead[] = "NOISE             ";

}  // namespace

void AppendDump(std::string &out, const uint8_t *bytes, size_t count) {
    if (count == 0) {
        out += kLineEnd;
        return;
    }
    AppendDumpLines(out, bytes, count, false);
}

void WritePacketEntry(const LogSink &sink, const uint8_t *packet, size_t size, LogDirection direction) {
    if (size < NV_PACKET_SHORT_HEADER) return;
    WriteEntry(sink, PacketLead(packet, direction), packet + NV_PACKET_SHORT_HEADER, PacketDumpCount(packet, size));
}

void WriteNoiseEntry(const LogSink &sink, const uint8_t *bytes, size_t count) {
    WriteEntry(sink, kNoiseLead, bytes, count);
}

void AppendPacketEntry(std::string &out, const uint8_t *packet, size_t size, LogDirection direction) {
    if (size < NV_PACKET_SHORT_HEADER) return;  // not a packet; nothing sensible to show
    out += PacketLead(packet, direction);
    AppendDump(out, packet + NV_PACKET_SHORT_HEADER, PacketDumpCount(packet, size));
}

void AppendNoiseEntry(std::string &out, const uint8_t *bytes, size_t count) {
    out += kNoiseLead;
    AppendDump(out, bytes, count);
}
