// The packet codec and the framer, driven through scripted byte sources: each
// chunk of a script models what arrives before a time-out, so a read that
// asks beyond a chunk comes back short exactly where a real link would.
#include <gtest/gtest.h>

#include <string>
#include <vector>
#include "stream/packet.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Filled(size_t n, uint8_t seed = 0) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(seed + i * 7);
    return out;
}

// Each chunk is what arrives before a time-out: a read gets what is left of
// the chunk (at most what it asks for); a read that finds the chunk used up
// is the time-out, returns nothing and moves on to the next chunk.
class ScriptedSource : public PacketByteSource {
public:
    explicit ScriptedSource(std::vector<Bytes> chunks) : m_chunks(std::move(chunks)) {}
    int ReadBytes(void *buffer, int count) override {
        ++reads;
        if (Exhausted()) return 0;
        const Bytes &c = m_chunks[m_chunk];
        size_t n = std::min(static_cast<size_t>(count), c.size() - m_pos);
        if (n == 0) {
            ++m_chunk;
            m_pos = 0;
            return 0;
        }
        std::copy(c.begin() + m_pos, c.begin() + m_pos + n, static_cast<uint8_t *>(buffer));
        m_pos += n;
        return static_cast<int>(n);
    }
    bool Exhausted() const { return m_chunk >= m_chunks.size(); }
    int reads = 0;

private:
    std::vector<Bytes> m_chunks;
    size_t m_chunk = 0, m_pos = 0;
};

class CountingAllocator : public PacketAllocator {
public:
    uint8_t *Allocate(size_t size) override {
        ++allocations;
        largest = std::max(largest, size);
        if (fail) return nullptr;
        ++live;
        return HeapPacketAllocator().Allocate(size);
    }
    void Free(uint8_t *p) override {
        --live;
        HeapPacketAllocator().Free(p);
    }
    int allocations = 0, live = 0;
    size_t largest = 0;
    bool fail = false;
};

// Everything framing produced, in order, as text: "P:<hex>", "F", "N:<hex>".
struct Recorder : PacketFramer::Events {
    void OnForeignSignature() override { log.push_back("F"); }
    void OnNoise(const uint8_t *b, size_t n) override { log.push_back("N:" + Hex(b, n)); }
    void OnOverBudget() override { log.push_back("B"); }
    static std::string Hex(const uint8_t *b, size_t n) {
        static const char d[] = "0123456789ABCDEF";
        std::string s;
        for (size_t i = 0; i < n; ++i) (s += d[b[i] >> 4]) += d[b[i] & 15];
        return s;
    }
    std::vector<std::string> log;
};

struct Framed {
    std::vector<std::string> log;
    std::vector<Bytes> packets;
    std::vector<uint8_t> ids;
    int attempts = 0;
};

// Reads framing attempts until the script is used up, like a reader thread.
Framed FrameAll(std::vector<Bytes> chunks, FramingRules rules = FramingRules(), CountingAllocator *alloc = nullptr) {
    CountingAllocator own;
    CountingAllocator &a = alloc ? *alloc : own;
    ScriptedSource source(std::move(chunks));
    Recorder rec;
    Framed run;
    while (!source.Exhausted() && run.attempts < 1000) {
        ++run.attempts;
        PacketFramer framer(a, rec, rules);
        if (uint8_t *p = ReadFramedPacket(source, framer)) {
            run.packets.emplace_back(p, p + PacketSize(p));
            run.ids.push_back(framer.ConnectionId());
            rec.log.push_back("P:" + Recorder::Hex(p, std::min<size_t>(PacketSize(p), 8)));
            a.Free(p);
        }
    }
    EXPECT_EQ(a.live, 0);
    run.log = rec.log;
    return run;
}

using Log = std::vector<std::string>;

TEST(PacketCodec, HeaderFormsAndSizes) {
    uint8_t h[7];
    ASSERT_EQ(EncodePacketHeader(5, 0, h), 3u);
    EXPECT_EQ(Bytes(h, h + 3), (Bytes{5, 0, 0}));
    ASSERT_EQ(EncodePacketHeader(0x20, 65534, h), 3u);
    EXPECT_EQ(Bytes(h, h + 3), (Bytes{0x20, 0xFE, 0xFF}));
    ASSERT_EQ(EncodePacketHeader(7, 65535, h), 7u);  // 65535 itself is the escape
    EXPECT_EQ(Bytes(h, h + 7), (Bytes{7, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0}));
    ASSERT_EQ(EncodePacketHeader(7, 0x12345678, h), 7u);
    EXPECT_EQ(PacketPayloadLength(h), 0x12345678u);
    EXPECT_EQ(PacketSize(h), 7u + 0x12345678u);

    PacketHeader ph;
    EXPECT_FALSE(ParsePacketHeader(h, 2, &ph));
    EXPECT_FALSE(ParsePacketHeader(h, 6, &ph));  // escaped: the extended length is missing
    ASSERT_TRUE(ParsePacketHeader(h, 7, &ph));
    EXPECT_EQ(ph.command, 7);
    EXPECT_EQ(ph.headerSize, 7u);
    EXPECT_EQ(ph.payloadLength, 0x12345678u);

    Bytes p = EncodePacket(0x41, "ABC", 3);
    EXPECT_EQ(p, (Bytes{0x41, 3, 0, 'A', 'B', 'C'}));
    EXPECT_EQ(PacketPayload(p.data())[2], 'C');
}

TEST(PacketCodec, BuildPacketRefusesPayloadAboveBound) {
    CountingAllocator alloc;
    EXPECT_EQ(BuildPacket(alloc, 0x20, nullptr, kMaxPacketPayload + 1u), nullptr);
    EXPECT_EQ(alloc.allocations, 0);
    Bytes payload = Filled(70000);
    uint8_t *p = BuildPacket(alloc, 0x20, payload.data(), payload.size());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(PacketHeaderSize(p), 7u);
    EXPECT_EQ(Bytes(PacketPayload(p), PacketPayload(p) + 70000), payload);
    alloc.Free(p);
}

TEST(PacketFraming, LeadInByte) {
    EXPECT_EQ(FrameAll({{8, 5, 0, 0}}).log, (Log{"P:050000"}));
    EXPECT_EQ(FrameAll({{8, 8, 0, 0}}).log, (Log{"P:080000"}));  // a second 8 is the command
    // A third 8 is the first length byte: eight payload bytes are due, one came.
    EXPECT_EQ(FrameAll({{8, 8, 8, 0, 0}}).log, (Log{"N:08080000"}));
    EXPECT_EQ(FrameAll({{8}}).log, Log{});                      // then silence: nothing at all
    EXPECT_EQ(FrameAll({{8}, {5, 0, 0}}).log, (Log{"P:050000"}));
}

TEST(PacketFraming, ForeignSignature) {
    Framed r = FrameAll({{0x00, 0xE0, 0x37, 0x05, 0x00, 0x00}});
    EXPECT_EQ(r.log, (Log{"F", "P:050000"}));
    // Only command 0 with 0xE0: anything else is a packet.
    Bytes e1 = Cat({{0x00, 0xE1, 0x00}, Filled(225)});
    r = FrameAll({e1});
    ASSERT_EQ(r.packets.size(), 1u);
    EXPECT_EQ(r.packets[0], e1);
    // The network plug-in link has no such test.
    FramingRules plug;
    plug.foreignSignature = false;
    plug.idByte = true;
    r = FrameAll({Cat({{0x00, 0xE0, 0x00, 0x09}, Filled(0xE0)})}, plug);
    ASSERT_EQ(r.packets.size(), 1u);
    EXPECT_EQ(r.packets[0].size(), 3u + 0xE0);
}

TEST(PacketFraming, EscapedPacketArrivesWhole) {
    Bytes wire = Cat({{0x07, 0xFF, 0xFF, 0x10, 0x00, 0x01, 0x00}, Filled(65552, 3), {5, 0, 0}});
    Framed r = FrameAll({wire});
    ASSERT_EQ(r.packets.size(), 2u);
    EXPECT_EQ(r.packets[0].size(), 65559u);
    EXPECT_TRUE(std::equal(r.packets[0].begin(), r.packets[0].end(), wire.begin()));
    EXPECT_EQ(r.packets[1], (Bytes{5, 0, 0}));
}

TEST(PacketFraming, ShortReadsLoseOnlyTheirPacket) {
    // Payload cut after 2 of 6 bytes: noise of header + 2, the next byte starts afresh.
    EXPECT_EQ(FrameAll({{0x20, 6, 0, 'A', 'B'}, {5, 0, 0}}).log, (Log{"N:2006004142", "P:050000"}));
    // Short header or extended length: nothing reported.
    EXPECT_EQ(FrameAll({{0x20, 6}, {5, 0, 0}}).log, (Log{"P:050000"}));
    EXPECT_EQ(FrameAll({{0x20, 0xFF, 0xFF, 1, 0}, {6, 0, 0}}).log, (Log{"P:060000"}));
    // A cut right after the header of a non-empty packet: the header alone is noise.
    EXPECT_EQ(FrameAll({{0x20, 1, 0}, {0x21, 0, 0}}).log, (Log{"N:200100", "P:210000"}));
}

TEST(PacketFraming, ReadsAsFewTimesAsTheFormatAllows) {
    // Command, length, payload: three reads; the extended length one more.
    ScriptedSource s({Cat({{0x20, 4, 0}, Filled(4)})});
    CountingAllocator a;
    Recorder rec;
    PacketFramer f(a, rec);
    uint8_t *p = ReadFramedPacket(s, f);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(s.reads, 3);
    a.Free(p);
    ScriptedSource e({Cat({{0x20, 0xFF, 0xFF, 4, 0, 0, 0}, Filled(4)})});
    PacketFramer f2(a, rec);
    p = ReadFramedPacket(e, f2);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(e.reads, 4);
    EXPECT_EQ(a.largest, 11u);  // exactly the packet's size
    a.Free(p);
}

TEST(PacketFraming, IdByteOfThePluginLink) {
    FramingRules plug;
    plug.foreignSignature = false;
    plug.idByte = true;
    Framed r = FrameAll({{0x21, 2, 0, 0x07, 'h', 'i', 0x05, 0, 0, 0xFF}}, plug);
    ASSERT_EQ(r.packets.size(), 2u);
    EXPECT_EQ(r.packets[0], (Bytes{0x21, 2, 0, 'h', 'i'}));  // the id byte is not in the packet
    EXPECT_EQ(r.ids, (std::vector<uint8_t>{7, 0xFF}));
    // A cut payload's noise is the header and the payload part, without the id.
    EXPECT_EQ(FrameAll({{0x21, 3, 0, 0x07, 'h'}}, plug).log, (Log{"N:21030068"}));
}

TEST(PacketFraming, OversizePacketIsSkippedWithoutAllocation) {
    FramingRules small;
    small.maxPayload = 5000;  // the same path as the real bound, at a size a unit test can stream
    CountingAllocator alloc;
    Bytes big = Cat({{0x30, 0xFF, 0xFF, 0x89, 0x13, 0, 0}, Filled(5001), {5, 0, 0}});
    Framed r = FrameAll({big}, small, &alloc);
    EXPECT_EQ(r.log, (Log{"N:30FFFF89130000", "P:050000"}));
    EXPECT_EQ(alloc.allocations, 1);  // only the echo
    EXPECT_LE(alloc.largest, 3u);

    // At the bound the packet is fine.
    CountingAllocator alloc2;
    r = FrameAll({Cat({{0x30, 0x88, 0x13}, Filled(5000)})}, small, &alloc2);
    ASSERT_EQ(r.packets.size(), 1u);

    // 4 GiB claimed, then silence: no allocation, the attempt ends.
    CountingAllocator alloc3;
    r = FrameAll({{0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3}, {6, 0, 0}}, FramingRules(), &alloc3);
    EXPECT_EQ(r.log, (Log{"N:30FFFFFFFFFFFF", "P:060000"}));
    EXPECT_EQ(alloc3.allocations, 1);
}

TEST(PacketFraming, FailedAllocationKeepsTheStreamFramed) {
    CountingAllocator alloc;
    alloc.fail = true;
    Framed r = FrameAll({{0x20, 2, 0, 'a', 'b', 0x20, 0, 0}}, FramingRules(), &alloc);
    EXPECT_EQ(r.log, (Log{"N:200200", "N:200000"}));
    EXPECT_EQ(alloc.allocations, 2);
}

// Whatever the chunking, pushing bytes frames exactly what pulling does.
TEST(PacketFraming, PushFramesLikePull) {
    Bytes wire = Cat({{8, 5, 0, 0}, {0, 0xE0, 1}, {0x20, 3, 0, 'A', 'B', 'C'},
                      {7, 0xFF, 0xFF, 0x0A, 0, 0, 0}, Filled(10), {8, 8, 0, 0}});
    Framed pulled = FrameAll({wire});
    for (size_t step : {size_t(1), size_t(2), size_t(5), wire.size()}) {
        CountingAllocator a;
        Recorder rec;
        PacketFramer f(a, rec);
        for (size_t pos = 0; pos < wire.size();) {
            size_t end = std::min(wire.size(), pos + step), used = 0;
            while (pos < end) {
                uint8_t *p = f.Feed(wire.data() + pos, end - pos, &used);
                pos += used;
                if (p) {
                    rec.log.push_back("P:" + Recorder::Hex(p, std::min<size_t>(PacketSize(p), 8)));
                    a.Free(p);
                }
            }
        }
        EXPECT_TRUE(f.AtPacketStart());
        EXPECT_EQ(rec.log, pulled.log) << "chunks of " << step;
        EXPECT_EQ(a.live, 0);
    }
}

TEST(PacketFraming, AbortAndDestructionFreeThePartialPacket) {
    CountingAllocator a;
    Recorder rec;
    {
        PacketFramer f(a, rec);
        size_t used;
        const uint8_t part[] = {0x20, 9, 0, 1, 2};
        EXPECT_EQ(f.Feed(part, sizeof part, &used), nullptr);
        EXPECT_EQ(a.live, 1);
        f.Abort();
        EXPECT_EQ(a.live, 0);
        EXPECT_EQ(f.Feed(part, sizeof part, &used), nullptr);
    }
    EXPECT_EQ(a.live, 0);
    EXPECT_EQ(rec.log, (Log{"N:2009000102"}));  // destruction is not a time-out: no noise
}

// A claimed length buys nothing: the buffer grows only with the payload that
// actually arrived, never past twice that (plus the first chunk).
TEST(PacketFraming, MemoryFollowsArrivedBytesNotTheClaim) {
    CountingAllocator a;
    Recorder rec;
    PacketFramer f(a, rec);
    const uint32_t len = kMaxPacketPayload;
    Bytes header = {0x40, 0xFF, 0xFF, static_cast<uint8_t>(len), static_cast<uint8_t>(len >> 8),
                    static_cast<uint8_t>(len >> 16), static_cast<uint8_t>(len >> 24)};
    size_t used = 0;
    EXPECT_EQ(f.Feed(header.data(), header.size(), &used), nullptr);
    EXPECT_LE(f.HeldBytes(), 7 + PacketFramer::kFirstPayloadChunk);
    EXPECT_LE(a.largest, 7 + PacketFramer::kFirstPayloadChunk);

    Bytes chunk = Filled(65536, 3);
    uint8_t *packet = nullptr;
    for (size_t arrived = 0; arrived < len;) {
        size_t n = std::min(chunk.size(), len - arrived);
        packet = f.Feed(chunk.data(), n, &used);
        ASSERT_EQ(used, n);
        arrived += n;
        if (!packet) EXPECT_LE(f.HeldBytes(), 7 + 2 * arrived + PacketFramer::kFirstPayloadChunk);
    }
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(PacketSize(packet), size_t(7) + len);
    EXPECT_EQ(packet[7 + len - 1], chunk[(len - 1) % chunk.size()]);
    EXPECT_EQ(a.live, 1);
    a.Free(packet);
    EXPECT_TRUE(rec.log.empty());
}

// The budget is charged for every buffer byte, handed over with a finished
// packet, and given back by whoever frees it; a link that would cross it
// loses its packet (noise) and is told so, and framing goes on behind it.
TEST(PacketFraming, BudgetBoundsEveryLinkTogether) {
    PacketBudget budget(14000);
    FramingRules rules;
    rules.budget = &budget;
    CountingAllocator a;
    Recorder rec;
    PacketFramer first(a, rec, rules), second(a, rec, rules);
    Bytes big = Cat({{0x20, 0x40, 0x1F}, Filled(8000)});  // 8000 payload bytes
    size_t used = 0;
    uint8_t *p = first.Feed(big.data(), big.size(), &used);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(budget.InUse(), big.size());  // the finished packet holds its charge

    // The second link claims 8000 too; its bytes stop fitting on the way.
    EXPECT_EQ(second.Feed(big.data(), 3000, &used), nullptr);
    EXPECT_EQ(rec.log.size(), 0u);
    EXPECT_EQ(second.Feed(big.data() + 3000, big.size() - 3000, &used), nullptr);
    ASSERT_GE(rec.log.size(), 2u);
    EXPECT_EQ(rec.log[0].substr(0, 8), "N:20401F");
    EXPECT_EQ(rec.log[1], "B");
    EXPECT_LE(budget.InUse(), 14000u);
    EXPECT_EQ(used, big.size() - 3000);  // the rest of the packet was skipped
    EXPECT_TRUE(second.AtPacketStart());

    FreeFramedPacket(a, &budget, p);
    EXPECT_EQ(budget.InUse(), 0u);
    Bytes echo = {5, 0, 0};
    p = second.Feed(echo.data(), echo.size(), &used);
    ASSERT_NE(p, nullptr);
    FreeFramedPacket(a, &budget, p);
    EXPECT_EQ(budget.InUse(), 0u);

    // A packet under way gives its charge back when it is cut or dropped.
    EXPECT_EQ(second.Feed(big.data(), 100, &used), nullptr);
    EXPECT_GT(budget.InUse(), 0u);
    second.Abort();
    EXPECT_EQ(budget.InUse(), 0u);
    EXPECT_EQ(a.live, 0);
}

// One read takes whatever has arrived; the packets in it are framed from the
// buffer without reading again.
TEST(PacketReading, OneReadServesEveryPacketThatArrivedWithIt) {
    Bytes burst;
    for (int i = 0; i < 100; ++i) burst = Cat({burst, {0x20, 2, 0, static_cast<uint8_t>(i), 0x7F}});
    ScriptedSource source({burst});
    CountingAllocator a;
    Recorder rec;
    PacketReader reader(a, rec, FramingRules());
    for (int i = 0; i < 100; ++i) {
        uint8_t *p = reader.Next(source);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p[3], i);
        a.Free(p);
    }
    EXPECT_EQ(source.reads, 1);
    EXPECT_FALSE(reader.HasBufferedInput());
    EXPECT_EQ(reader.Next(source), nullptr);  // the time-out behind the burst
    EXPECT_EQ(a.live, 0);
}

TEST(PacketReading, PacketsAcrossReadsAndCutsByTimeOut) {
    // With a 4-byte buffer a payload takes three reads and still forms one
    // packet; a foreign signature and a cut payload each end one attempt, and
    // what follows them in the buffer is framed by the next call.
    ScriptedSource source({{0x20, 6, 0, 'a', 'b', 'c', 'd', 'e', 'f', 0, 0xE0, 1, 5, 0, 0, 0x21, 4, 0, 'x'},
                           {6, 0, 0}});
    CountingAllocator a;
    Recorder rec;
    PacketReader reader(a, rec, FramingRules(), 4);
    std::vector<Bytes> packets;
    for (int attempt = 0; attempt < 10 && !source.Exhausted(); ++attempt)
        if (uint8_t *p = reader.Next(source)) {
            packets.emplace_back(p, p + PacketSize(p));
            a.Free(p);
        } else {
            rec.log.push_back("-");
        }
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[0], (Bytes{0x20, 6, 0, 'a', 'b', 'c', 'd', 'e', 'f'}));
    EXPECT_EQ(packets[1], (Bytes{5, 0, 0}));
    EXPECT_EQ(packets[2], (Bytes{6, 0, 0}));
    EXPECT_EQ(rec.log, (Log{"F", "-", "N:21040078", "-", "-"}));
    EXPECT_EQ(a.live, 0);
}

TEST(PacketReading, DiscardForgetsBufferedBytesSilently) {
    ScriptedSource source({{5, 0, 0, 0x20, 9, 0, 1}});
    CountingAllocator a;
    Recorder rec;
    PacketReader reader(a, rec, FramingRules());
    uint8_t *p = reader.Next(source);
    ASSERT_NE(p, nullptr);
    a.Free(p);
    EXPECT_TRUE(reader.HasBufferedInput());
    reader.Discard();
    EXPECT_FALSE(reader.HasBufferedInput());
    EXPECT_TRUE(reader.Framer().AtPacketStart());
    EXPECT_TRUE(rec.log.empty());
    EXPECT_EQ(a.live, 0);
}

// A large payload is read straight into its packet, each read taking as
// much as the packet has grown to hold, and never a byte of the packet
// behind it, which the buffer then frames as usual.
TEST(PacketReading, LargePayloadTakesOneReadIntoItsPacket) {
    Bytes big = Cat({{0x20, 0x00, 0xF0}, Filled(0xF000, 5)});  // 61440 payload bytes
    Bytes next = {0x21, 1, 0, 'z'};
    ScriptedSource source({Cat({big, next})});
    CountingAllocator a;
    Recorder rec;
    PacketReader reader(a, rec, FramingRules(), 16 * 1024);
    uint8_t *p = reader.Next(source);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(Bytes(p, p + PacketSize(p)), big);
    EXPECT_EQ(source.reads, 3);  // through a 16 KiB buffer alone: 4
    EXPECT_TRUE(reader.LastReadFilled());  // more was asked for and came: read on at once
    EXPECT_FALSE(reader.HasBufferedInput());
    a.Free(p);
    p = reader.Next(source);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(Bytes(p, p + PacketSize(p)), next);
    EXPECT_FALSE(reader.LastReadFilled());
    a.Free(p);
    EXPECT_TRUE(rec.log.empty());
    EXPECT_EQ(a.live, 0);
}

// Reading into the packet keeps the rules of the buffer: the room grows only
// with what arrived, whatever the claim, a cut payload is
// noise of exactly what arrived, and every charge goes back to the budget.
TEST(PacketReading, DirectReadsHoldNoMoreThanArrivedAndGiveBackWhenCut) {
    const uint32_t claim = kMaxPacketPayload;
    Bytes header = {0x40, 0xFF, 0xFF, static_cast<uint8_t>(claim), static_cast<uint8_t>(claim >> 8),
                    static_cast<uint8_t>(claim >> 16), static_cast<uint8_t>(claim >> 24)};
    const size_t arrived = 300 * 1024;
    PacketBudget budget(kHubPacketBudget);
    FramingRules rules;
    rules.budget = &budget;
    // Arrives in pieces of 10000, then a time-out.
    Bytes payload = Filled(arrived, 9);
    std::vector<Bytes> chunks = {header};
    for (size_t at = 0; at < arrived; at += 10000)
        chunks.push_back(Bytes(payload.begin() + at, payload.begin() + std::min(arrived, at + 10000)));
    Bytes all;
    for (const Bytes &c : chunks) all = Cat({all, c});
    ScriptedSource source({all});
    CountingAllocator a;
    Recorder rec;
    PacketReader reader(a, rec, rules, 4096);
    size_t most = 0;
    uint8_t *p = nullptr;
    for (int i = 0; i < 1000 && !p && !source.Exhausted(); ++i) {
        p = reader.Next(source);
        most = std::max(most, reader.Framer().HeldBytes());
        if (!p && reader.Framer().AtPacketStart()) break;
        EXPECT_LE(budget.InUse(), 7 + 2 * arrived + PacketFramer::kFirstPayloadChunk);
    }
    EXPECT_EQ(p, nullptr);
    EXPECT_LE(most, 7 + 2 * arrived + PacketFramer::kFirstPayloadChunk);
    EXPECT_LE(a.largest, 7 + 2 * arrived + PacketFramer::kFirstPayloadChunk);
    ASSERT_EQ(rec.log.size(), 1u);
    EXPECT_EQ(rec.log[0].size(), 2 + 2 * (7 + arrived));  // "N:" and every byte that arrived, in hex
    EXPECT_EQ(budget.InUse(), 0u);
    EXPECT_EQ(a.live, 0);
}

// Without memory for the room ahead, the payload goes on through the buffer
// under the usual rules: a packet whose memory runs out is noise, and the
// stream stays framed for the packet behind it.
TEST(PacketReading, RefusedRoomKeepsTheStreamFramed) {
    struct SmallBlocks : CountingAllocator {
        uint8_t *Allocate(size_t size) override {
            if (size > 8192) return nullptr;
            return CountingAllocator::Allocate(size);
        }
    } a;
    Bytes big = Cat({{0x20, 0x00, 0xC0}, Filled(0xC000, 1)});
    Bytes next = {0x21, 1, 0, 'z'};
    ScriptedSource source({Cat({big, next})});
    Recorder rec;
    PacketReader reader(a, rec, FramingRules(), 1024);
    std::vector<Bytes> packets;
    for (int i = 0; i < 1000 && !source.Exhausted(); ++i)
        if (uint8_t *p = reader.Next(source)) {
            packets.emplace_back(p, p + PacketSize(p));
            a.Free(p);
        }
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0], next);
    ASSERT_EQ(rec.log.size(), 1u);
    EXPECT_EQ(rec.log[0].substr(0, 8), "N:2000C0");
    EXPECT_EQ(a.live, 0);
}

// The buffer grows to its full size only on a link whose read filled it.
TEST(PacketReading, BufferGrowsOnlyForALinkThatFillsIt) {
    Bytes small = {0x20, 1, 0, 'a'};
    Bytes big = Cat({{0x20, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0x00}, Filled(0x10000, 3)});  // 64 KiB payload
    ScriptedSource source({small, small, Cat({big, big})});
    CountingAllocator a;
    Recorder rec;
    PacketReader reader(a, rec, FramingRules(), 64 * 1024);
    for (int i = 0; i < 2; ++i) {
        uint8_t *p = reader.Next(source);
        ASSERT_NE(p, nullptr);
        a.Free(p);
        EXPECT_EQ(reader.Next(source), nullptr);  // the time-out behind it
    }
    int readsForSmall = source.reads;
    for (int i = 0; i < 2; ++i) {
        uint8_t *p = reader.Next(source);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(Bytes(p, p + PacketSize(p)), big);
        a.Free(p);
    }
    // A 16 KiB read fills the buffer, which grows: the next read takes the
    // rest of the first packet and the start of the second, one more the
    // rest. With 16 KiB reads alone it would take eight.
    EXPECT_EQ(source.reads - readsForSmall, 3);
    EXPECT_TRUE(rec.log.empty());
    EXPECT_EQ(a.live, 0);
}

}  // namespace
