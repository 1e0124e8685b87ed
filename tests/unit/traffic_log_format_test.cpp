// Log layout against an expected file, byte for byte: the columns, padding and
// CR LF line ends are what people rely on when they read logs side by side.
#include <gtest/gtest.h>

#include <vector>
#include "stream/packet.h"
#include "stream/traffic_log_format.h"
#include "test_data.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Entry(std::string &out, Bytes p, LogDirection d) { AppendPacketEntry(out, p.data(), p.size(), d); }

TEST(TrafficLogFormat, MatchesExpectedFile) {
    const auto R = LogDirection::Read, W = LogDirection::Written;
    std::string log = TrafficLogHeader();
    Entry(log, {5, 0, 0}, R);                                                  // label and command only
    Entry(log, {0x20, 3, 0, 'A', 'B', 'C'}, R);                                // padded short line
    Entry(log, {0x41, 9, 0, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I'}, W);  // continuation line
    Entry(log, {0x7F, 8, 0, 0x0D, 0x80, 0x20, 0x7E, 0x7F, 0x00, 0x41, 0x61}, R);  // unprintables
    Bytes sixteen{0xFF, 16, 0};
    for (uint8_t c = 0x30; c < 0x40; ++c) sixteen.push_back(c);
    Entry(log, sixteen, W);                                                    // two full lines
    const uint8_t cut[] = {0x20, 6, 0, 'A', 'B'};
    AppendNoiseEntry(log, cut, sizeof cut);
    Entry(log, {7, 0xFF, 0xFF, 10, 0, 0, 0, '0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}, R);
    Entry(log, {0x20, 0x10, 0, 'A'}, R);  // length field beyond the buffer: the buffer's end wins
    const uint8_t dropped[] = {0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    AppendNoiseEntry(log, dropped, sizeof dropped);
    Entry(log, {0, 0, 0}, W);

    std::string expected = ReadWholeFile(TestDataPath("traffic_log_format.txt"));
    ASSERT_FALSE(expected.empty()) << TestDataPath("traffic_log_format.txt");
    EXPECT_EQ(log, expected);
}

// An escaped packet shows its extended length and 65531 payload bytes: the
// 16-bit field says 65535, so the last of the 8192 lines holds 7 bytes.
TEST(TrafficLogFormat, EscapedPacketDumpStopsAtTheShortLength) {
    Bytes big = EncodePacket(0x22, Bytes(70000, 'x').data(), 70000);
    std::string entry;
    AppendPacketEntry(entry, big.data(), big.size(), LogDirection::Read);
    size_t lines = 0;
    for (size_t pos = 0; (pos = entry.find("\r\n", pos)) != std::string::npos; pos += 2) ++lines;
    EXPECT_EQ(lines, 65535u / 8 + 1);
    std::string last = entry.substr(entry.rfind("\r\n", entry.size() - 3) + 2);
    EXPECT_EQ(last, std::string(18, ' ') + "78 78 78 78 78 78 78    xxxxxxx\r\n");
}

}  // namespace

// Written in pieces, an entry is byte for byte the one formatted whole, and
// no piece holds more than a bounded share of it.
TEST(TrafficLogFormat, EntriesInPiecesAreTheWholeEntry) {
    for (size_t count : {size_t(0), size_t(5), size_t(8), size_t(4096), size_t(4097), size_t(20003)}) {
        std::vector<uint8_t> bytes(count);
        for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(i * 31 + 7);
        std::string whole, pieces;
        size_t largest = 0;
        auto sink = [&](const std::string &piece) {
            pieces += piece;
            largest = std::max(largest, piece.size());
        };
        AppendNoiseEntry(whole, bytes.data(), count);
        WriteNoiseEntry(sink, bytes.data(), count);
        EXPECT_EQ(pieces, whole) << count;
        EXPECT_LE(largest, (kLogPieceBytes / 8 + 1) * 52) << count;  // 52 bytes a line

        std::vector<uint8_t> packet = EncodePacket(0x41, bytes.data(), count);
        whole.clear();
        pieces.clear();
        AppendPacketEntry(whole, packet.data(), packet.size(), LogDirection::Written);
        WritePacketEntry(sink, packet.data(), packet.size(), LogDirection::Written);
        EXPECT_EQ(pieces, whole) << count;
    }
}
