// Packet codec and framer. Portable on purpose: the same state machine frames
// for the hub's streams, the tools and the fuzz target, so a fault found by
// one is fixed for all.
#include "stream/packet.h"

#include <stdlib.h>
#include <string.h>

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

// --- PacketFramer

PacketFramer::PacketFramer(PacketAllocator &alloc, Events &events, const FramingRules &rules)
    : m_alloc(alloc), m_events(events), m_rules(rules) {}

PacketFramer::~PacketFramer() {
    if (m_packet) m_alloc.Free(m_packet);
}

void PacketFramer::Reset() {
    m_state = State::Command;
    m_headerHave = m_headerSize = m_payloadLength = m_payloadHave = 0;
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
        return m_payloadLength - m_payloadHave;
    case State::Discard: {
        size_t rest = m_payloadLength - m_payloadHave;
        return rest < kDiscardChunk ? rest : kDiscardChunk;
    }
    }
    return 1;
}

uint8_t *PacketFramer::Target() {
    switch (m_state) {
    case State::Command:
    case State::CommandAfterLeadIn:
        return m_header;
    case State::Length:
    case State::ExtendedLength:
        return m_header + m_headerHave;
    case State::IdByte:
        return &m_connectionId;
    case State::Payload:
        return m_packet + m_headerSize + m_payloadHave;
    case State::Discard:
        return m_scratch;
    }
    return m_scratch;
}

uint8_t *PacketFramer::Commit(size_t n) {
    if (n == 0) return nullptr;
    switch (m_state) {
    case State::Command:
        if (m_header[0] == kPacketLeadIn) {
            m_state = State::CommandAfterLeadIn;
            return nullptr;
        }
        [[fallthrough]];  // any other byte is the command
    case State::CommandAfterLeadIn:
        m_headerHave = 1;
        m_state = State::Length;
        return nullptr;
    case State::Length:
        m_headerHave += static_cast<uint32_t>(n);
        if (m_headerHave < NV_PACKET_SHORT_HEADER) return nullptr;
        if (m_rules.foreignSignature && m_header[0] == kForeignCommand && m_header[1] == kForeignLengthLow) {
            Reset();
            m_events.OnForeignSignature();
            return nullptr;
        }
        if (PacketIsEscaped(m_header)) {
            m_state = State::ExtendedLength;
            return nullptr;
        }
        m_headerSize = NV_PACKET_SHORT_HEADER;
        return LengthComplete();
    case State::ExtendedLength:
        m_headerHave += static_cast<uint32_t>(n);
        if (m_headerHave < NV_PACKET_LONG_HEADER) return nullptr;
        m_headerSize = NV_PACKET_LONG_HEADER;
        return LengthComplete();
    case State::IdByte:
        return HeaderComplete();
    case State::Payload:
        m_payloadHave += static_cast<uint32_t>(n);
        return m_payloadHave == m_payloadLength ? FinishPacket() : nullptr;
    case State::Discard:
        m_payloadHave += static_cast<uint32_t>(n);
        if (m_payloadHave == m_payloadLength) Reset();
        return nullptr;
    }
    return nullptr;
}

uint8_t *PacketFramer::LengthComplete() {
    if (!m_rules.idByte) return HeaderComplete();
    m_state = State::IdByte;
    return nullptr;
}

// The header (and the id byte) are in: allocate, or drop a packet that is too
// large, keeping the stream framed by reading its payload into the scratch.
uint8_t *PacketFramer::HeaderComplete() {
    m_payloadLength = PacketPayloadLength(m_header);
    m_payloadHave = 0;
    if (m_payloadLength <= m_rules.maxPayload)
        m_packet = m_alloc.Allocate(static_cast<size_t>(m_headerSize) + m_payloadLength);
    if (!m_packet) {
        m_events.OnNoise(m_header, m_headerSize);
        if (m_payloadLength == 0) Reset();
        else m_state = State::Discard;
        return nullptr;
    }
    memcpy(m_packet, m_header, m_headerSize);
    if (m_payloadLength == 0) return FinishPacket();
    m_state = State::Payload;
    return nullptr;
}

uint8_t *PacketFramer::FinishPacket() {
    uint8_t *packet = m_packet;
    m_packet = nullptr;
    Reset();
    return packet;
}

void PacketFramer::Abort() {
    if (m_state == State::Payload) {
        // Report before freeing: the noise is the buffer's received part.
        m_events.OnNoise(m_packet, m_headerSize + m_payloadHave);
        m_alloc.Free(m_packet);
        m_packet = nullptr;
    }
    Reset();
}

uint8_t *PacketFramer::Feed(const uint8_t *data, size_t count, size_t *consumed) {
    size_t taken = 0;
    uint8_t *packet = nullptr;
    while (taken < count && !packet) {
        size_t n = Wanted();
        if (n > count - taken) n = count - taken;
        memcpy(Target(), data + taken, n);
        taken += n;
        packet = Commit(n);
    }
    *consumed = taken;
    return packet;
}

uint8_t *ReadFramedPacket(PacketByteSource &source, PacketFramer &framer) {
    for (;;) {
        size_t wanted = framer.Wanted();
        int got = source.ReadBytes(framer.Target(), static_cast<int>(wanted));
        if (got < 0) got = 0;
        if (static_cast<size_t>(got) > wanted) got = static_cast<int>(wanted);  // a faulty transport
        uint8_t *packet = framer.Commit(static_cast<size_t>(got));
        if (packet) return packet;
        if (static_cast<size_t>(got) < wanted) {
            framer.Abort();
            return nullptr;
        }
        // A foreign signature or a dropped packet ends the attempt too.
        if (framer.AtPacketStart()) return nullptr;
    }
}
