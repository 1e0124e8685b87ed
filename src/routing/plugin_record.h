// CPluginRecord: one catalogued plug-in, a DLL or a program on the plug-in
// port.
//
// The record is where a plug-in's resources end, in a fixed order: a network
// plug-in's stream first (its connection closes), then the plug-in thread is
// asked to quit and given a bounded time, and only then is the DLL unloaded.
// A thread that has not ended keeps its DLL mapped: unloading code that a
// thread still runs would crash the hub later, at a random place.
//
// The catalogue (CHubFrame::m_plugins) is the hub window's, so every field
// below belongs to the hub window's thread unless its comment says otherwise.
// A network plug-in's reader thread reaches the catalogue only through
// Register and Unregister, which hand over with the synchronous
// WM_PLUGIN_REGISTER.
#pragma once
#include <windows.h>
#include <string>
#include "framework/handles.h"
#include "norvane_plugin.h"

class CStream;

class CPluginRecord {
public:
    // A network plug-in, before it has named itself: name and location
    // "None", no thread, no module; the accepting code stores the stream.
    CPluginRecord();
    // An in-process plug-in whose VelmarMain filled `info`.
    CPluginRecord(const std::string &name, const PluginInfo &info, CStream *stream, HMODULE module);
    virtual ~CPluginRecord();
    CPluginRecord(const CPluginRecord &) = delete;
    CPluginRecord &operator=(const CPluginRecord &) = delete;

    // Posts a thread message to the plug-in thread, if there is one; a post
    // to a thread that has ended is lost.
    void PostToPlugin(UINT msg, WPARAM wParam, LPARAM lParam);
    void PostQuit();
    // Any thread: enters the catalogue under `name` (replacing an entry of
    // that name), or leaves it; returns once the hub window has done it.
    void Register(const std::string &name);
    void Unregister();
    // The first half of Register, for a caller that hands the record over
    // itself (a network plug-in's reader thread): the name the next
    // WM_PLUGIN_REGISTER with 1 is to take.
    void AnnounceName(const std::string &name);
    // Hub window's thread, inside WM_PLUGIN_REGISTER: the name Register asked for.
    void AdoptRegisteredName();

    bool IsInProcess() const { return m_hModule.IsValid(); }

    DWORD m_dwValue1;        // PluginInfo value 1; kept, never interpreted
    DWORD m_dwValue2;        // PluginInfo value 2; kept, never interpreted
    BOOL m_bQuitPosted;      // WM_QUIT already went to the plug-in thread
    fw::Module m_hModule;    // owned: the DLL of an in-process plug-in
    DWORD m_nThreadId;       // plug-in thread; 0 for a network plug-in; fixed
    HANDLE m_hThread;        // not owned: the plug-in's thread handle; fixed
    CStream *m_pStream;      // owned: a network plug-in's stream, or none
    std::string m_strName;   // catalogue name; compared without letter case
    std::string m_strLocation;  // "Local", or the network plug-in's address

private:
    // Written by the thread that calls Register, read by the hub window's
    // thread while that thread waits in SendMessage, so never both at once.
    std::string m_strRegisteredName;
    bool m_bNameRegistered = false;
};

// Plug-in names compare without letter case, multibyte characters intact.
bool SamePluginName(const std::string &a, const std::string &b);
