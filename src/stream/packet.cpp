// Packet codec and framer. Portable on purpose: the same state machine frames
// for the hub's streams, the tools and the fuzz target, so a fault found by
// one is fixed for all.
#include "stream/packet.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <new>

uint32_t PacketPayloadLength(const uint8_t *packet) {
    if (!PacketIsEscaped(packet)) return PacketShortLength(packet);
    return static_cast<uint32_t>(packet[3]) | (static_cast<uint32_t>(packet[4]) << 8) |
           (static_cast<uint32_t>(packet[5]) << 16) | (static_cast<uint32_t>(packet[6]) << 24);
}

size_t PacketSize(const uint8_t *packet) {
    return static_cast<size_t>(PacketHeaderSize(packet)) + PacketPayloadLength(packet);
}

bool ParsePacketHeader(const uint8_t *bytes, size_t available, PacketHeader *header) {
    if (available < NV_PACKET_SHORT_HEADER) return false;
    if (PacketIsEscaped(bytes) && available < NV_PACKET_LONG_HEADER) return false;
    header->command = PacketCommand(bytes);
    header->payloadLength = PacketPayloadLength(bytes);
    header->headerSize = PacketHeaderSize(bytes);
    return true;
}

uint32_t EncodePacketHeader(uint8_t command, uint32_t payloadLength, uint8_t out[NV_PACKET_LONG_HEADER]) {
    out[0] = command;
    if (payloadLength < NV_PACKET_LENGTH_ESCAPE) {
        out[1] = static_cast<uint8_t>(payloadLength);
        out[2] = static_cast<uint8_t>(payloadLength >> 8);
        return NV_PACKET_SHORT_HEADER;
    }
    out[1] = out[2] = 0xFF;
    for (int i = 0; i < 4; ++i) out[3 + i] = static_cast<uint8_t>(payloadLength >> (8 * i));
    return NV_PACKET_LONG_HEADER;
}

std::vector<uint8_t> EncodePacket(uint8_t command, const void *payload, size_t length) {
    uint8_t header[NV_PACKET_LONG_HEADER];
    uint32_t headerSize = EncodePacketHeader(command, static_cast<uint32_t>(length), header);
    std::vector<uint8_t> out(header, header + headerSize);
    const uint8_t *p = static_cast<const uint8_t *>(payload);
    if (length) out.insert(out.end(), p, p + length);
    return out;
}

namespace {
class HeapAllocator final : public PacketAllocator {
public:
    uint8_t *Allocate(size_t size) override { return static_cast<uint8_t *>(malloc(size ? size : 1)); }
    void Free(uint8_t *packet) override { free(packet); }
};
}  // namespace

PacketAllocator &HeapPacketAllocator() {
    static HeapAllocator s_alloc;
    return s_alloc;
}

uint8_t *BuildPacket(PacketAllocator &alloc, uint8_t command, const void *payload, size_t length) {
    if (length > kMaxPacketPayload) return nullptr;
    uint8_t header[NV_PACKET_LONG_HEADER];
    uint32_t headerSize = EncodePacketHeader(command, static_cast<uint32_t>(length), header);
    uint8_t *packet = alloc.Allocate(headerSize + length);
    if (!packet) return nullptr;
    memcpy(packet, header, headerSize);
    if (length) memcpy(packet + headerSize, payload, length);
    return packet;
}

// --- PacketBudget

bool PacketBudget::Take(size_t n) {
    size_t used = m_used.load();
    do {
        if (used > m_limit || n > m_limit - used) return false;
    } while (!m_used.compare_exchange_weak(used, used + n));
    return true;
}

PacketBudget &HubPacketBudget() {
    static PacketBudget s_budget(kHubPacketBudget);
    return s_budget;
}

void FreeFramedPacket(PacketAllocator &alloc, PacketBudget *budget, uint8_t *packet) {
    if (!packet) return;
    if (budget) budget->Give(PacketSize(packet));
    alloc.Free(packet);
}

// --- PacketFramer

PacketFramer::PacketFramer(PacketAllocator &alloc, Events &events, const FramingRules &rules)
    : m_alloc(alloc), m_events(events), m_rules(rules) {}

PacketFramer::~PacketFramer() { ReleaseBuffer(); }

void PacketFramer::Reset() {
    m_state = State::Command;
    m_headerHave = m_headerSize = m_payloadLength = m_payloadHave = 0;
}

void PacketFramer::ReleaseBuffer() {
    if (!m_packet) return;
    m_alloc.Free(m_packet);
    if (m_rules.budget) m_rules.budget->Give(m_capacity);
    m_packet = nullptr;
    m_capacity = 0;
}

size_t PacketFramer::Wanted() const {
    switch (m_state) {
    case State::Command:
    case State::CommandAfterLeadIn:
    case State::IdByte:
        return 1;
    case State::Length:
        return NV_PACKET_SHORT_HEADER - m_headerHave;
    case State::ExtendedLength:
        return NV_PACKET_LONG_HEADER - m_headerHave;
    case State::Payload:
    case State::Discard:
        return m_payloadLength - m_payloadHave;
    }
    return 1;
}

uint8_t *PacketFramer::Feed(const uint8_t *data, size_t count, size_t *consumed) {
    size_t taken = 0;
    uint8_t *packet = nullptr;
    m_attemptEnded = false;
    while (taken < count && !packet && !m_attemptEnded) {
        if (m_state == State::Payload || m_state == State::Discard)
            taken += TakePayload(data + taken, count - taken, &packet);
        else
            taken += TakeHeaderByte(data + taken, &packet);
    }
    *consumed = taken;
    return packet;
}

// Header bytes come one at a time: there are at most eight of them, and the
// meaning of each depends on the ones before.
size_t PacketFramer::TakeHeaderByte(const uint8_t *data, uint8_t **packet) {
    const uint8_t byte = *data;
    switch (m_state) {
    case State::Command:
        if (byte == kPacketLeadIn) {
            m_state = State::CommandAfterLeadIn;
            return 1;
        }
        [[fallthrough]];  // any other byte is the command
    case State::CommandAfterLeadIn:
        m_header[0] = byte;
        m_headerHave = 1;
        m_state = State::Length;
        return 1;
    case State::Length:
        m_header[m_headerHave++] = byte;
        if (m_headerHave < NV_PACKET_SHORT_HEADER) return 1;
        if (m_rules.foreignSignature && m_header[0] == kForeignCommand && m_header[1] == kForeignLengthLow) {
            Reset();
            m_attemptEnded = true;
            m_events.OnForeignSignature();
            return 1;
        }
        if (PacketIsEscaped(m_header)) {
            m_state = State::ExtendedLength;
            return 1;
        }
        m_headerSize = NV_PACKET_SHORT_HEADER;
        break;
    case State::ExtendedLength:
        m_header[m_headerHave++] = byte;
        if (m_headerHave < NV_PACKET_LONG_HEADER) return 1;
        m_headerSize = NV_PACKET_LONG_HEADER;
        break;
    case State::IdByte:
        m_connectionId = byte;
        *packet = HeaderComplete();
        return 1;
    case State::Payload:
    case State::Discard:
        return 0;  // not reached: Feed sends payload bytes to TakePayload
    }
    // The length is complete.
    if (m_rules.idByte)
        m_state = State::IdByte;
    else
        *packet = HeaderComplete();
    return 1;
}

// Makes the packet's buffer `size` bytes, keeping what arrived. 0 on success,
// 1 when the memory is not there, 2 when the budget cannot take it.
int PacketFramer::Reserve(size_t size) {
    if (size <= m_capacity) return 0;
    size_t extra = size - m_capacity;
    if (m_rules.budget && !m_rules.budget->Take(extra)) return 2;
    uint8_t *grown = m_alloc.Allocate(size);
    if (!grown) {
        if (m_rules.budget) m_rules.budget->Give(extra);
        return 1;
    }
    if (m_packet) {
        memcpy(grown, m_packet, m_headerSize + m_payloadHave);
        m_alloc.Free(m_packet);
    }
    m_packet = grown;
    m_capacity = size;
    return 0;
}

// The packet under way is lost: what arrived of it is noise, and the rest of
// its payload is read and thrown away so the stream stays framed.
void PacketFramer::Drop(int why) {
    if (m_packet)
        m_events.OnNoise(m_packet, m_headerSize + m_payloadHave);
    else
        m_events.OnNoise(m_header, m_headerSize);
    ReleaseBuffer();
    if (why == 2) m_events.OnOverBudget();
    if (m_payloadHave == m_payloadLength) {
        Reset();
        m_attemptEnded = true;
    } else {
        m_state = State::Discard;
    }
}

// The header (and the id byte) are in. The first buffer holds the header and
// at most a first chunk of the payload, whatever length the peer claims.
uint8_t *PacketFramer::HeaderComplete() {
    m_payloadLength = PacketPayloadLength(m_header);
    m_payloadHave = 0;
    if (m_payloadLength > m_rules.maxPayload) {
        Drop(0);
        return nullptr;
    }
    size_t first = m_headerSize + (m_payloadLength < kFirstPayloadChunk ? m_payloadLength : kFirstPayloadChunk);
    if (int failed = Reserve(first)) {
        Drop(failed);
        return nullptr;
    }
    memcpy(m_packet, m_header, m_headerSize);
    m_state = State::Payload;
    return m_payloadLength == 0 ? FinishPacket() : nullptr;
}

size_t PacketFramer::TakePayload(const uint8_t *data, size_t count, uint8_t **packet) {
    size_t rest = m_payloadLength - m_payloadHave;
    size_t n = count < rest ? count : rest;
    if (m_state == State::Payload) {
        size_t need = m_headerSize + m_payloadHave + n;
        if (need > m_capacity) {
            // Doubling keeps the copies few; the end of the packet caps it,
            // so a finished buffer is exactly the packet's size.
            size_t total = static_cast<size_t>(m_headerSize) + m_payloadLength;
            size_t doubled = m_capacity * 2 < total ? m_capacity * 2 : total;
            int failed = Reserve(doubled > need ? doubled : need);
            if (failed && doubled > need) failed = Reserve(need);
            if (failed) Drop(failed);
        }
    }
    if (m_state == State::Discard) {
        m_payloadHave += static_cast<uint32_t>(n);
        if (m_payloadHave == m_payloadLength) {
            Reset();
            m_attemptEnded = true;
        }
        return n;
    }
    memcpy(m_packet + m_headerSize + m_payloadHave, data, n);
    m_payloadHave += static_cast<uint32_t>(n);
    if (m_payloadHave == m_payloadLength) *packet = FinishPacket();
    return n;
}

uint8_t *PacketFramer::PayloadSpace(size_t *room) {
    *room = 0;
    if (m_state != State::Payload) return nullptr;
    const size_t used = static_cast<size_t>(m_headerSize) + m_payloadHave;
    const size_t total = static_cast<size_t>(m_headerSize) + m_payloadLength;
    size_t ahead = m_payloadHave > kFirstPayloadChunk ? m_payloadHave : kFirstPayloadChunk;
    size_t target = total - used < ahead ? total : used + ahead;
    // A refusal here drops nothing: what room there is still serves, and
    // without any, feeding through the buffer grows the packet in smaller
    // steps under the usual failure rules.
    if (Reserve(target) != 0 && m_capacity <= used) return nullptr;
    *room = m_capacity - used;
    return m_packet + used;
}

uint8_t *PacketFramer::CommitPayload(size_t n) {
    if (m_state != State::Payload) return nullptr;
    const size_t room = m_capacity - m_headerSize - m_payloadHave;
    m_payloadHave += static_cast<uint32_t>(n < room ? n : room);
    return m_payloadHave == m_payloadLength ? FinishPacket() : nullptr;
}

uint8_t *PacketFramer::FinishPacket() {
    uint8_t *packet = m_packet;  // its charge, m_capacity == PacketSize, goes with it
    m_packet = nullptr;
    m_capacity = 0;
    Reset();
    return packet;
}

void PacketFramer::Abort() {
    if (m_state == State::Payload) {
        // Report before freeing: the noise is the buffer's received part.
        m_events.OnNoise(m_packet, m_headerSize + m_payloadHave);
    }
    Forget();
}

void PacketFramer::Forget() {
    ReleaseBuffer();
    Reset();
}

// --- PacketReader

PacketReader::PacketReader(PacketAllocator &alloc, PacketFramer::Events &events, const FramingRules &rules,
                           size_t bufferSize, PacketAllocator *bufferAlloc)
    : m_framer(alloc, events, rules), m_bufferAlloc(bufferAlloc ? *bufferAlloc : HeapPacketAllocator()),
      m_maxBufferSize(bufferSize ? bufferSize : 1),
      m_size(m_maxBufferSize < kDefaultBufferSize ? m_maxBufferSize : kDefaultBufferSize),
      m_buffer(m_bufferAlloc.Allocate(m_size)) {
    if (!m_buffer) throw std::bad_alloc();
}

PacketReader::~PacketReader() { m_bufferAlloc.Free(m_buffer); }

// A link whose reads fill the buffer carries more than it holds; only such
// a link gets the larger buffer, so links of small packets keep the memory
// of a small one. Called between reads: the buffer holds nothing then.
void PacketReader::GrowIfFilled() {
    if (!m_bLastReadFilled || m_size >= m_maxBufferSize) return;
    uint8_t *larger = m_bufferAlloc.Allocate(m_maxBufferSize);
    if (!larger) {
        m_maxBufferSize = m_size;  // the small one serves
        return;
    }
    m_bufferAlloc.Free(m_buffer);
    m_buffer = larger;
    m_size = m_maxBufferSize;
}

uint8_t *PacketReader::Next(PacketByteSource &source) {
    for (;;) {
        if (m_pos < m_len) {
            size_t used = 0;
            uint8_t *packet = m_framer.Feed(m_buffer + m_pos, m_len - m_pos, &used);
            m_pos += used;
            if (packet) return packet;
            if (m_framer.AtPacketStart()) return nullptr;  // the attempt ended without a packet
            continue;
        }
        GrowIfFilled();
        uint8_t *packet = nullptr;
        if (ReadIntoPayload(source, &packet)) {
            if (packet) return packet;
            if (m_framer.AtPacketStart()) return nullptr;  // cut short
            continue;
        }
        int got = source.ReadBytes(m_buffer, static_cast<int>(m_size));
        if (got <= 0) {
            m_pos = m_len = 0;
            m_bLastReadFilled = false;
            m_framer.Abort();
            return nullptr;
        }
        m_pos = 0;
        m_len = static_cast<size_t>(got) < m_size ? static_cast<size_t>(got) : m_size;
        m_bLastReadFilled = m_len == m_size;
    }
}

// Only for a payload with at least a buffer's worth to come: smaller rests
// are read with whatever follows them, in one read through the buffer. The
// read never asks beyond the payload, so the next packet's bytes stay in the
// link for the buffer. False when nothing was read this way.
bool PacketReader::ReadIntoPayload(PacketByteSource &source, uint8_t **packet) {
    if (!m_framer.InPayload() || m_framer.Wanted() < m_size) return false;
    size_t room = 0;
    uint8_t *space = m_framer.PayloadSpace(&room);
    if (!space || room == 0) return false;
    size_t ask = room < m_framer.Wanted() ? room : m_framer.Wanted();
    if (ask > static_cast<size_t>(INT_MAX)) ask = static_cast<size_t>(INT_MAX);
    int got = source.ReadBytes(space, static_cast<int>(ask));
    if (got <= 0) {
        m_bLastReadFilled = false;
        m_framer.Abort();
        return true;
    }
    size_t n = static_cast<size_t>(got) < ask ? static_cast<size_t>(got) : ask;
    m_bLastReadFilled = n == ask;
    *packet = m_framer.CommitPayload(n);
    return true;
}

void PacketReader::Discard() {
    m_pos = m_len = 0;
    m_bLastReadFilled = false;
    m_framer.Forget();
}

uint8_t *ReadFramedPacket(PacketByteSource &source, PacketFramer &framer) {
    uint8_t buffer[4096];
    for (;;) {
        size_t wanted = framer.Wanted();
        if (wanted > sizeof buffer) wanted = sizeof buffer;
        int got = source.ReadBytes(buffer, static_cast<int>(wanted));
        if (got <= 0) {
            framer.Abort();
            return nullptr;
        }
        size_t have = static_cast<size_t>(got) < wanted ? static_cast<size_t>(got) : wanted;  // a faulty source
        for (size_t pos = 0; pos < have;) {
            size_t used = 0;
            uint8_t *packet = framer.Feed(buffer + pos, have - pos, &used);
            pos += used;
            if (packet) return packet;
            if (framer.AtPacketStart()) return nullptr;
        }
    }
}
