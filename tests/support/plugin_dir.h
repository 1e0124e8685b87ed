// Real plug-in DLLs for tests: the SDK samples, copied under the names a
// test needs into a directory of its own.
//
// The hub loads plug-ins by bare name, so a PluginDir also puts its
// directory on the DLL search path while it lives. Copies, not the built
// files, are loaded: a DLL whose entry point failed stays loaded for the
// rest of the process and cannot be deleted, and the next build must still
// be able to replace the original. Directories that earlier runs could not
// delete are removed when the next PluginDir is made.
#pragma once
#include <string>
#include <vector>

// Full path of a built sample DLL ("EchoPlugin.dll" ...).
std::string SampleDllPath(const std::string &file);

class PluginDir {
public:
    PluginDir();
    ~PluginDir();  // deletes what it can; takes the directory off the search path
    PluginDir(const PluginDir &) = delete;
    PluginDir &operator=(const PluginDir &) = delete;

    const std::string &Path() const { return m_strPath; }  // with a trailing backslash
    // Copies a sample here as `dllName` (with ".dll"); false when it could not.
    bool Add(const std::string &sampleFile, const std::string &dllName);

private:
    std::string m_strPath;
    std::vector<std::string> m_files;
};

// A sample copied beside the test program itself, where the hub's start-up
// scan looks; deleted again when this goes (after the hub unloaded it).
class PlantedDll {
public:
    PlantedDll(const std::string &sampleFile, const std::string &dllName);
    ~PlantedDll();
    PlantedDll(const PlantedDll &) = delete;
    PlantedDll &operator=(const PlantedDll &) = delete;
    bool Ok() const { return m_bOk; }

private:
    std::string m_strPath;
    bool m_bOk = false;
};
