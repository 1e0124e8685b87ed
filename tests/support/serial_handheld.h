// The handheld's end of a pseudo-terminal pair that the test runner linked
// as two COM ports in the Wine prefix (tests/system/serial_ports_test.py).
//
// The runner names the pairs in NORVANE_SERIAL_PAIRS ("5:15,6:16": the hub
// opens COM5, the handheld sits on COM15). Without it the serial tests skip:
// a plain Windows machine has no such pairs.
#pragma once
#include <windows.h>
#include <stdint.h>
#include <string>
#include <vector>

using SerialBytes = std::vector<uint8_t>;

struct SerialPair {
    int hubPort;
    int handheldPort;
};

// The pairs the runner set up, in the order given.
std::vector<SerialPair> SerialPairs();
// How the runner expects the event thread to learn of input: "waiting"
// (modem lines answered), "polling" (a plain pty), or "" when it does not say.
std::string ExpectedSerialReader();

class SerialHandheld {
public:
    explicit SerialHandheld(int port);  // opens the port and throws away stale input
    ~SerialHandheld();
    SerialHandheld(const SerialHandheld &) = delete;
    SerialHandheld &operator=(const SerialHandheld &) = delete;

    bool IsOpen() const { return m_hPort != INVALID_HANDLE_VALUE; }
    bool Send(const SerialBytes &bytes);
    // Reads until `count` bytes arrived or the time is up, dispatching this
    // thread's messages meanwhile (the hub window may live on it).
    SerialBytes Receive(size_t count, DWORD timeoutMs);
    // Everything that arrives within the time.
    SerialBytes ReceiveFor(DWORD ms) { return Receive(SIZE_MAX, ms); }
    void Discard();

private:
    SerialBytes ReadAvailable();
    HANDLE m_hPort = INVALID_HANDLE_VALUE;
};

// Counts the beacons (01 00 00) in what a handheld received.
int CountBeacons(const SerialBytes &bytes);
