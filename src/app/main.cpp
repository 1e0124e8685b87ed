// Process entry: one application object, run on the main thread.
#include <windows.h>
#include <string>
#include "app/command_line.h"
#include "app/hub_app.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    static CHubApp app;
    std::string args = nv::ArgumentText(::GetCommandLineA());
    return app.Run(instance, args.c_str());
}
