// In-memory transport for tests; see memory_stream.h.
#include "memory_stream.h"

#include <algorithm>

CMemoryStream::CMemoryStream(UserInfo *pUserInfo, bool logging, const std::string &logName)
    : CStream(pUserInfo) {
    m_bLogging = logging ? TRUE : FALSE;
    m_strLogName = logName;
}

void CMemoryStream::Arrive(const Bytes &chunk) {
    fw::Lock lock(m_cs);
    m_input.push_back(chunk);
}

bool CMemoryStream::InputPending() const {
    fw::Lock lock(m_cs);
    return !m_input.empty();
}

void CMemoryStream::DispatchAll() {
    while (InputPending()) DispatchPacket();
}

Bytes CMemoryStream::Written() const {
    fw::Lock lock(m_cs);
    return m_output;
}

std::vector<uint32_t> CMemoryStream::WrittenIds() const {
    fw::Lock lock(m_cs);
    return m_ids;
}

int CMemoryStream::ReadBytes(void *buffer, int count) {
    fw::Lock lock(m_cs);
    if (m_input.empty() || count <= 0) return 0;
    const Bytes &chunk = m_input.front();
    size_t n = std::min(static_cast<size_t>(count), chunk.size() - m_inputPos);
    if (n == 0) {  // the time-out behind the chunk
        m_input.pop_front();
        m_inputPos = 0;
        return 0;
    }
    std::copy(chunk.begin() + m_inputPos, chunk.begin() + m_inputPos + n, static_cast<uint8_t *>(buffer));
    m_inputPos += n;
    return static_cast<int>(n);
}

int CMemoryStream::WriteBytes(const void *buffer, int count) {
    const auto *p = static_cast<const uint8_t *>(buffer);
    const int piece = m_bSlowWrites ? 3 : count;
    for (int done = 0; done < count; done += piece) {
        {
            fw::Lock lock(m_cs);
            m_output.insert(m_output.end(), p + done, p + std::min(count, done + piece));
        }
        if (m_bSlowWrites) ::Sleep(0);
    }
    return count;
}

int CMemoryStream::WritePacket(const uint8_t *packet, uint32_t connectionId) {
    {
        fw::Lock lock(m_cs);
        m_ids.push_back(connectionId);
    }
    return CStream::WritePacket(packet, connectionId);
}
