// One catalogued plug-in. Placeholder until the plug-in catalogue lands.
#pragma once

class CPluginRecord {
public:
    virtual ~CPluginRecord() = default;
    void PostQuit() {}
};
