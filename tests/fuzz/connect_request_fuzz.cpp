// Any bytes at all as a connect packet: parsing stays inside the buffer and
// whatever it yields fits in what it was given.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include "routing/connect_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ConnectRequest r;
    if (ParseConnectPacket(data, size, &r)) {
        if (r.ruid.size() > kRuidSize) abort();
        if (r.ruid.size() + r.pluginName.size() + r.userName.size() > size) abort();
    }
    if (ParseConnectPayload(data, size, &r)) {
        if (r.pluginName.size() + r.userName.size() + kRuidSize > size) abort();
        if (r.ruid.find('\0') != std::string::npos || r.pluginName.find('\0') != std::string::npos ||
            r.userName.find('\0') != std::string::npos)
            abort();
    }
    return 0;
}
