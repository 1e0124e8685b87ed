// Sample DLL copies for plug-in tests. The samples are built into
// <build>/sdk/samples and the tests into <build>/tests, so the path from a
// test program to the samples is fixed by the build layout.
#include "plugin_dir.h"
#include <windows.h>
#include "framework/app.h"
#include "framework/file_find.h"

namespace {

const char kDirPrefix[] = "nvplugtest-";

void RemoveDir(const std::string &dir) {
    for (const std::string &file : fw::FindFiles(dir + "*")) ::DeleteFileA((dir + file).c_str());
    ::RemoveDirectoryA(dir.c_str());
}

std::string TempDir() {
    char temp[MAX_PATH + 1];
    DWORD n = ::GetTempPathA(sizeof temp, temp);
    return n > 0 && n < sizeof temp ? std::string(temp, n) : std::string(".\\");
}

void RemoveStaleDirs(const std::string &temp) {
    WIN32_FIND_DATAA data;
    HANDLE find = ::FindFirstFileA((temp + kDirPrefix + "*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveDir(temp + data.cFileName + "\\");
    } while (::FindNextFileA(find, &data));
    ::FindClose(find);
}

}  // namespace

std::string SampleDllPath(const std::string &file) {
    return std::string(fw::GetModuleDir()) + "..\\sdk\\samples\\" + file;
}

PluginDir::PluginDir() {
    static LONG s_count = 0;
    std::string temp = TempDir();
    RemoveStaleDirs(temp);
    m_strPath = temp + kDirPrefix + std::to_string(::GetCurrentProcessId()) + "-" +
                std::to_string(::InterlockedIncrement(&s_count)) + "\\";
    ::CreateDirectoryA(m_strPath.c_str(), nullptr);
    ::SetDllDirectoryA(m_strPath.c_str());
}

PluginDir::~PluginDir() {
    ::SetDllDirectoryA(nullptr);
    for (const std::string &file : m_files) ::DeleteFileA(file.c_str());
    ::RemoveDirectoryA(m_strPath.c_str());  // fails while a copy is still loaded
}

bool PluginDir::Add(const std::string &sampleFile, const std::string &dllName) {
    std::string target = m_strPath + dllName;
    if (!::CopyFileA(SampleDllPath(sampleFile).c_str(), target.c_str(), FALSE)) return false;
    m_files.push_back(target);
    return true;
}

PlantedDll::PlantedDll(const std::string &sampleFile, const std::string &dllName)
    : m_strPath(std::string(fw::GetModuleDir()) + dllName) {
    m_bOk = ::CopyFileA(SampleDllPath(sampleFile).c_str(), m_strPath.c_str(), FALSE) != FALSE;
}

PlantedDll::~PlantedDll() { ::DeleteFileA(m_strPath.c_str()); }
