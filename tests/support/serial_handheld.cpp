// The handheld side polls its port: the tests care about what arrived by a
// deadline, not about waking early, and polling behaves the same whether or
// not the pty answers modem-line requests.
#include "serial_handheld.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include "test_hub.h"

std::vector<SerialPair> SerialPairs() {
    std::vector<SerialPair> pairs;
    const char *text = std::getenv("NORVANE_SERIAL_PAIRS");
    if (!text) return pairs;
    std::stringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
        SerialPair pair{};
        if (std::sscanf(item.c_str(), "%d:%d", &pair.hubPort, &pair.handheldPort) == 2) pairs.push_back(pair);
    }
    return pairs;
}

std::string ExpectedSerialReader() {
    const char *text = std::getenv("NORVANE_EXPECT_READER");
    return text ? text : "";
}

SerialHandheld::SerialHandheld(int port) {
    char device[32];
    std::snprintf(device, sizeof device, "\\\\.\\COM%d", port);
    m_hPort = ::CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (!IsOpen()) return;
    DCB dcb;
    dcb.DCBlength = sizeof dcb;
    if (::GetCommState(m_hPort, &dcb)) {
        dcb.BaudRate = 57600;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fOutxCtsFlow = 0;
        ::SetCommState(m_hPort, &dcb);
    }
    COMMTIMEOUTS t = {};
    t.ReadIntervalTimeout = MAXDWORD;  // a read returns at once with what is buffered
    t.WriteTotalTimeoutConstant = 5000;
    ::SetCommTimeouts(m_hPort, &t);
    Discard();
}

SerialHandheld::~SerialHandheld() {
    if (IsOpen()) ::CloseHandle(m_hPort);
}

bool SerialHandheld::Send(const SerialBytes &bytes) {
    DWORD written = 0;
    return ::WriteFile(m_hPort, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

SerialBytes SerialHandheld::ReadAvailable() {
    SerialBytes out;
    uint8_t buffer[4096];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(m_hPort, buffer, sizeof buffer, &got, nullptr) || got == 0) break;
        out.insert(out.end(), buffer, buffer + got);
    }
    return out;
}

SerialBytes SerialHandheld::Receive(size_t count, DWORD timeoutMs) {
    SerialBytes out;
    PumpUntil(
        [&] {
            SerialBytes more = ReadAvailable();
            out.insert(out.end(), more.begin(), more.end());
            return out.size() >= count;
        },
        timeoutMs);
    return out;
}

void SerialHandheld::Discard() {
    ::PurgeComm(m_hPort, PURGE_RXCLEAR | PURGE_TXCLEAR);
    ReadAvailable();
}

int CountBeacons(const SerialBytes &bytes) {
    int n = 0;
    for (size_t i = 0; i + 3 <= bytes.size(); ++i)
        if (bytes[i] == 1 && bytes[i + 1] == 0 && bytes[i + 2] == 0) {
            ++n;
            i += 2;
        }
    return n;
}
