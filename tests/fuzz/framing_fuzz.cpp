// Arbitrary bytes through the framer, the buffered reader and the log
// formatter, the path every byte from a handheld or a network plug-in takes.
// Besides what the sanitizers catch, it checks that pushing in any chunking
// frames exactly what pulling does and what the buffered reader does with any
// buffer size, that no packet exceeds the bound, that a budget is never
// crossed and always comes back whole, and that every log line keeps its
// layout.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include "stream/packet.h"
#include "stream/traffic_log_format.h"

namespace {

void Check(bool ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "invariant broken: %s\n", what);
        abort();
    }
}

// Every line: 18 label columns, then 3 columns per byte slot and the characters.
void CheckLayout(const std::string &entry) {
    size_t start = 0;
    while (start < entry.size()) {
        size_t end = entry.find("\r\n", start);
        Check(end != std::string::npos, "entry ends with CR LF");
        size_t len = end - start;
        Check(len == 18 || (len > 42 && len <= 50), "line length");
        start = end + 2;
    }
}

struct Sink : PacketFramer::Events {
    void OnForeignSignature() override { trace += 'F'; }
    void OnNoise(const uint8_t *b, size_t n) override {
        trace += 'N';
        trace.append(reinterpret_cast<const char *>(b), n);
        std::string entry;
        AppendNoiseEntry(entry, b, n);
        CheckLayout(entry);
    }
    void OnOverBudget() override { trace += 'B'; }
    void Packet(const uint8_t *p, uint32_t maxPayload) {
        Check(PacketPayloadLength(p) <= maxPayload, "payload within the bound");
        size_t size = PacketSize(p);
        trace += 'P';
        trace.append(reinterpret_cast<const char *>(p), size);
        std::string entry;
        AppendPacketEntry(entry, p, size, (size & 1) ? LogDirection::Read : LogDirection::Written);
        CheckLayout(entry);
    }
    std::string trace;
};

class ArraySource : public PacketByteSource {
public:
    ArraySource(const uint8_t *d, size_t n) : m_d(d), m_n(n) {}
    int ReadBytes(void *buffer, int count) override {
        size_t k = std::min(static_cast<size_t>(count), m_n - m_pos);
        memcpy(buffer, m_d + m_pos, k);
        m_pos += k;
        return static_cast<int>(k);
    }
    bool Done() const { return m_pos == m_n; }

private:
    const uint8_t *m_d;
    size_t m_n, m_pos = 0;
};

std::string Push(const uint8_t *d, size_t n, const FramingRules &rules, size_t step) {
    Sink sink;
    PacketFramer framer(HeapPacketAllocator(), sink, rules);
    for (size_t pos = 0; pos < n;) {
        size_t end = std::min(n, pos + step), used = 0;
        while (pos < end) {
            uint8_t *p = framer.Feed(d + pos, end - pos, &used);
            pos += used;
            if (p) {
                sink.Packet(p, rules.maxPayload);
                HeapPacketAllocator().Free(p);
            }
        }
    }
    return sink.trace;  // a packet still under way is freed by the framer
}

std::string Pull(const uint8_t *d, size_t n, const FramingRules &rules) {
    Sink sink;
    ArraySource source(d, n);
    while (!source.Done()) {
        PacketFramer framer(HeapPacketAllocator(), sink, rules);
        uint8_t *p = ReadFramedPacket(source, framer);
        if (p) {
            sink.Packet(p, rules.maxPayload);
            HeapPacketAllocator().Free(p);
        }
    }
    return sink.trace;
}

// Through the buffered reader, as a stream's reader thread frames.
std::string ReadBuffered(const uint8_t *d, size_t n, const FramingRules &rules, size_t bufferSize) {
    Sink sink;
    ArraySource source(d, n);
    {
        PacketReader reader(HeapPacketAllocator(), sink, rules, bufferSize);
        for (;;) {
            bool last = source.Done() && !reader.HasBufferedInput();
            uint8_t *p = reader.Next(source);  // the last call meets the end of input
            if (p) {
                sink.Packet(p, rules.maxPayload);
                if (rules.budget) Check(rules.budget->InUse() <= rules.budget->Limit(), "budget not crossed");
                FreeFramedPacket(HeapPacketAllocator(), rules.budget, p);
            }
            if (last) break;
        }
    }
    if (rules.budget) Check(rules.budget->InUse() == 0, "every charge given back");
    return sink.trace;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    FramingRules rules;
    rules.foreignSignature = !(data[0] & 1);
    rules.idByte = (data[0] & 2) != 0;
    static const uint32_t bounds[] = {0, 16, 300, 70000};
    rules.maxPayload = bounds[(data[0] >> 2) & 3];
    size_t step = 1 + data[1] % 17;
    data += 2;
    size -= 2;

    std::string whole = Push(data, size, rules, size ? size : 1);
    Check(Push(data, size, rules, step) == whole, "chunking does not change framing");
    // Pulling from a source that never times out inside the input frames the
    // same, except that a packet cut by the end of input is noise there.
    std::string pulled = Pull(data, size, rules);
    Check(pulled.compare(0, whole.size(), whole) == 0, "pull frames like push");
    Check(pulled.size() == whole.size() || pulled[whole.size()] == 'N', "only a cut payload differs");
    Check(ReadBuffered(data, size, rules, step) == pulled, "buffered reads frame like pulling");
    PacketBudget budget(64 + 97 * (data[-1] % 8));
    FramingRules tight = rules;
    tight.budget = &budget;
    std::string bounded = ReadBuffered(data, size, tight, step * 3);
    Check(budget.InUse() == 0, "budget back to zero");
    (void)bounded;
    return 0;
}
