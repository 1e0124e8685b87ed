// A hidden window that stands in for the hub window and records what streams
// send it. It registers itself as the main window, so streams constructed
// while it lives take it as their hub. Messages are recorded on the window's
// thread; read the records there too.
#pragma once
#include <windows.h>
#include <functional>
#include <vector>

struct RecordedMessage {
    UINT message;
    WPARAM wParam;
    std::vector<unsigned char> packet;  // WM_STREAM_CONNECT: copy of the packet
};

class RecordingHubWindow {
public:
    RecordingHubWindow();
    ~RecordingHubWindow();
    RecordingHubWindow(const RecordingHubWindow &) = delete;
    RecordingHubWindow &operator=(const RecordingHubWindow &) = delete;

    HWND Handle() const { return m_hWnd; }
    const std::vector<RecordedMessage> &Messages() const { return m_messages; }
    void Clear() { m_messages.clear(); }
    // Runs inside the handler of WM_STREAM_CONNECT, after recording, as the
    // router would (it may destroy the stream there).
    std::function<void(WPARAM)> onConnect;

private:
    static LRESULT CALLBACK WndProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);
    HWND m_hWnd = nullptr;
    HWND m_hPrevMain = nullptr;
    std::vector<RecordedMessage> m_messages;  // window's thread only
};
