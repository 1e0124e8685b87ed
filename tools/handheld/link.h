// The simulator's byte link to the hub, one implementation per platform
// (link_posix.cpp, link_windows.cpp). A serial device can become a second
// kind of link without touching the rest of the simulator.
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

// Sleeps; the platforms disagree on how.
void SleepMs(unsigned ms);

}  // namespace handheld
