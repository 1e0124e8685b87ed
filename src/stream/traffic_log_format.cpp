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

void AppendDump(std::string &out, const uint8_t *bytes, size_t count) {
    if (count == 0) {
        out += kLineEnd;
        return;
    }
    out.reserve(out.size() + (count / kBytesPerLine + 1) * 52);
    char chars[kBytesPerLine];
    for (size_t i = 0; i < count; ++i) {
        size_t column = i % kBytesPerLine;
        if (i != 0 && column == 0) out += kDataIndent;
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

void AppendPacketEntry(std::string &out, const uint8_t *packet, size_t size, LogDirection direction) {
    if (size < NV_PACKET_SHORT_HEADER) return;  // not a packet; nothing sensible to show
    out += direction == LogDirection::Read ? "USER       " : "PLUGIN     ";
    AppendCommand(out, PacketCommand(packet));
    size_t count = PacketShortLength(packet);
    if (count > size - NV_PACKET_SHORT_HEADER) count = size - NV_PACKET_SHORT_HEADER;
    AppendDump(out, packet + NV_PACKET_SHORT_HEADER, count);
}

void AppendNoiseEntry(std::string &out, const uint8_t *bytes, size_t count) {
    out += "NOISE             ";
    AppendDump(out, bytes, count);
}
