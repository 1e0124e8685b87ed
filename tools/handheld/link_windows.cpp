// TCP link on Windows Sockets.
#include "link.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

namespace handheld {

namespace {

class TcpLink final : public Link {
public:
    explicit TcpLink(SOCKET s) : m_socket(s) {}
    ~TcpLink() override {
        closesocket(m_socket);
        WSACleanup();
    }
    bool Send(const uint8_t *bytes, size_t count) override {
        while (count) {
            int n = send(m_socket, reinterpret_cast<const char *>(bytes), static_cast<int>(count), 0);
            if (n <= 0) return false;
            bytes += n;
            count -= static_cast<size_t>(n);
        }
        return true;
    }
    int Receive(uint8_t *buffer, size_t size) override {
        return recv(m_socket, reinterpret_cast<char *>(buffer), static_cast<int>(size), 0);
    }
    void Shutdown() override { shutdown(m_socket, SD_BOTH); }

private:
    SOCKET m_socket;
};

// Reads come back after a short time-out with nothing, so a read blocked on
// a quiet port still sees Shutdown.
class SerialLink final : public Link {
public:
    explicit SerialLink(HANDLE port) : m_port(port) {}
    ~SerialLink() override { CloseHandle(m_port); }
    bool Send(const uint8_t *bytes, size_t count) override {
        while (count) {
            DWORD n = 0;
            if (!WriteFile(m_port, bytes, static_cast<DWORD>(count), &n, nullptr) || n == 0) return false;
            bytes += n;
            count -= n;
        }
        return true;
    }
    int Receive(uint8_t *buffer, size_t size) override {
        while (!m_shut) {
            DWORD n = 0;
            if (!ReadFile(m_port, buffer, static_cast<DWORD>(size), &n, nullptr)) return -1;
            if (n) return static_cast<int>(n);
        }
        return -1;
    }
    void Shutdown() override { m_shut = 1; }

private:
    HANDLE m_port;
    volatile LONG m_shut = 0;
};

std::string ErrorText(const char *what, int code) { return std::string(what) + ": Error " + std::to_string(code); }

}  // namespace

std::unique_ptr<Link> ConnectTcp(const std::string &host, unsigned port, std::string *error) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        *error = "Windows Sockets did not start";
        return nullptr;
    }
    hostent *entry = gethostbyname(host.c_str());
    if (!entry || entry->h_addrtype != AF_INET) {
        *error = ErrorText(("cannot resolve " + host).c_str(), WSAGetLastError());
        WSACleanup();
        return nullptr;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    memcpy(&address.sin_addr, entry->h_addr_list[0], sizeof address.sin_addr);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET || connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        *error = ErrorText("cannot connect", WSAGetLastError());
        if (s != INVALID_SOCKET) closesocket(s);
        WSACleanup();
        return nullptr;
    }
    BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
    return std::unique_ptr<Link>(new TcpLink(s));
}

std::unique_ptr<Link> OpenSerial(const std::string &device, std::string *error) {
    std::string path = device.rfind("\\\\.\\", 0) == 0 ? device : "\\\\.\\" + device;  // COM10 and up need it
    HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        *error = ErrorText("cannot open", static_cast<int>(GetLastError()));
        return nullptr;
    }
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (GetCommState(port, &dcb)) {
        dcb.BaudRate = 57600;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = TRUE;
        SetCommState(port, &dcb);
    }
    COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, 100, 0, 0};
    SetCommTimeouts(port, &timeouts);
    return std::unique_ptr<Link>(new SerialLink(port));
}

void SleepMs(unsigned ms) { Sleep(ms); }

}  // namespace handheld
