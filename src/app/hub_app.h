// The application object: start-up in a fixed order and the hand-off to a
// hub that already runs.
#pragma once
#include <string>
#include "framework/app.h"

class CRegistryKey;
class CHubFrame;

class CHubApp : public fw::Application {
public:
    BOOL InitInstance() override;

    // The "-i" argument: stored for compatibility, never consulted.
    static std::string s_strInstallArg;

private:
    static CRegistryKey *OpenSettings();
    static void PostToRunningHub(HWND running, const std::string &commandLine);
    static void ApplyCommandLine(CHubFrame *hub, const std::string &commandLine);
};
