// Traffic log file: shared reading is allowed so the log can be watched
// while the hub writes it.
#include "stream/traffic_log.h"

bool CTrafficLog::Open(const std::string &path) {
    m_file.Reset(::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    return m_file.IsValid();
}

void CTrafficLog::Write(const std::string &text) {
    if (!m_file.IsValid() || text.empty()) return;
    DWORD written = 0;
    ::WriteFile(m_file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}
