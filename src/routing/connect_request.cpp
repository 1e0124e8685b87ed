// Connect-request parsing. A missing terminator is no error (older handhelds
// end the last name at the end of the payload), so every field is cut out
// with an explicit bound instead of string functions.
#include "routing/connect_request.h"
#include <string.h>
#include "stream/packet.h"

namespace {
// Text from `at` to the first zero byte or `end`. Returns where the next field
// begins: behind the zero byte, or `end` when there was none.
const uint8_t *TakeName(const uint8_t *at, const uint8_t *end, std::string *name) {
    const void *zero = at < end ? memchr(at, 0, static_cast<size_t>(end - at)) : nullptr;
    const uint8_t *stop = zero ? static_cast<const uint8_t *>(zero) : end;
    name->assign(reinterpret_cast<const char *>(at), static_cast<size_t>(stop - at));
    return zero ? stop + 1 : end;
}
}  // namespace

bool ParseConnectPayload(const uint8_t *payload, size_t length, ConnectRequest *out) {
    if (length < kRuidSize) return false;
    const uint8_t *end = payload + length;
    ConnectRequest request;
    TakeName(payload, payload + kRuidSize, &request.ruid);
    const uint8_t *at = TakeName(payload + kRuidSize, end, &request.pluginName);
    at = TakeName(at, end, &request.userName);
    if (at < end) {
        request.hasFlags = true;
        request.flags = *at;
    }
    *out = std::move(request);
    return true;
}

bool ParseConnectPacket(const uint8_t *packet, size_t size, ConnectRequest *out) {
    PacketHeader header;
    if (!packet || !ParsePacketHeader(packet, size, &header)) return false;
    if (header.payloadLength > size - header.headerSize) return false;
    return ParseConnectPayload(packet + header.headerSize, header.payloadLength, out);
}

std::vector<uint8_t> EncodeConnectPayload(const std::string &ruid, const std::string &pluginName,
                                          const std::string &userName, int flags) {
    std::vector<uint8_t> out(kRuidSize, 0);
    memcpy(out.data(), ruid.data(), ruid.size() < kRuidSize ? ruid.size() : kRuidSize);
    out.insert(out.end(), pluginName.begin(), pluginName.end());
    out.push_back(0);
    out.insert(out.end(), userName.begin(), userName.end());
    out.push_back(0);
    if (flags >= 0) out.push_back(static_cast<uint8_t>(flags));
    return out;
}
