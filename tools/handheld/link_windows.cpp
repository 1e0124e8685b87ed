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

void SleepMs(unsigned ms) { Sleep(ms); }

}  // namespace handheld
