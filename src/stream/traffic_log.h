// The file of one stream's traffic log.
//
// Each entry goes out with a single unbuffered WriteFile, so the file is
// current while the hub runs and an entry is never split by a buffer
// boundary. Failures are ignored on purpose: a log that cannot be written
// must not disturb the link it describes.
#pragma once
#include <string>
#include "framework/handles.h"

class CTrafficLog {
public:
    // Creates the file, replacing an older one. False when it cannot.
    bool Open(const std::string &path);
    void Close() { m_file.Reset(); }
    bool IsOpen() const { return m_file.IsValid(); }
    void Write(const std::string &text);

private:
    fw::FileHandle m_file;
};
