// The simulator's byte link to the hub, one implementation per platform
// (link_posix.cpp, link_windows.cpp): TCP, or a serial device.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <memory>
#include <string>

namespace handheld {

class Link {
public:
    virtual ~Link() = default;
    // All bytes, or false.
    virtual bool Send(const uint8_t *bytes, size_t count) = 0;
    // Blocks until bytes arrive: their number, 0 when the hub closed the
    // link, negative on an error (also after Shutdown from another thread).
    virtual int Receive(uint8_t *buffer, size_t size) = 0;
    // Ends the link in both directions; wakes a Receive on another thread.
    virtual void Shutdown() = 0;
};

// Connects over TCP; null with a reason in *error.
std::unique_ptr<Link> ConnectTcp(const std::string &host, unsigned port, std::string *error);
// Opens a serial device as the hub's COM ports are set: 57600 baud, 8 data
// bits, no parity, 1 stop bit, raw. A pty works as well (Linux: the other
// end of a socat pair whose first end is linked as a COM port under Wine).
std::unique_ptr<Link> OpenSerial(const std::string &device, std::string *error);

// Sleeps; the platforms disagree on how.
void SleepMs(unsigned ms);

}  // namespace handheld
