// The plug-in catalogue with real DLLs: the start-up scan, the loader's
// failure paths, replacement by name, and the bounded, overlapping waits at
// shutdown.
// NORVANE_TEST_USES_HUB_PORTS: the hub binds its fixed ports, and the scan
// test plants DLLs beside this program.
#include <gtest/gtest.h>
#include <windows.h>
#include <set>
#include <string>
#include "app/hub_frame.h"
#include "app/user_connection.h"
#include "attached_user.h"
#include "message_box_watcher.h"
#include "plugin_dir.h"
#include "routing/plugin_record.h"
#include "stream/global_packet.h"
#include "test_hub.h"

namespace {

// A network plug-in's record whose end the test can see.
class TrackedRecord : public CPluginRecord {
public:
    TrackedRecord(const char *tag, std::set<std::string> *ended, const char *location)
        : m_tag(tag), m_ended(ended) {
        m_strLocation = location;
    }
    ~TrackedRecord() override { m_ended->insert(m_tag); }

private:
    std::string m_tag;
    std::set<std::string> *m_ended;
};

// A network plug-in's stream whose end the test can see.
class TrackedStream : public CMemoryStream {
public:
    explicit TrackedStream(bool *ended) : m_ended(ended) {}
    ~TrackedStream() override { *m_ended = true; }

private:
    bool *m_ended;
};

std::vector<CPluginRecord *> Records(std::initializer_list<CPluginRecord *> records) { return records; }

bool IsLoaded(const char *dll) { return ::GetModuleHandleA(dll) != nullptr; }

size_t BoxesSaying(const MessageBoxWatcher &boxes, const std::string &text) {
    size_t n = 0;
    for (const std::string &shown : boxes.Texts()) n += shown == text;
    return n;
}

DWORD MsSince(DWORD start) { return ::GetTickCount() - start; }

bool ThreadEnded(DWORD threadId, DWORD timeoutMs) {
    HANDLE thread = ::OpenThread(SYNCHRONIZE, FALSE, threadId);
    if (!thread) return true;  // gone already
    bool ended = ::WaitForSingleObject(thread, timeoutMs) == WAIT_OBJECT_0;
    ::CloseHandle(thread);
    return ended;
}

}  // namespace

TEST(PluginCatalogue, StartUpScanKeepsOnlyPluginsNamedAfterTheirFiles) {
    MessageBoxWatcher boxes;  // a port another program holds is reported in a box
    PlantedDll plugin("EchoPlugin.dll", "NvScanPlugin.dll");
    PlantedDll other("NoEntryPoint.dll", "NvScanOther.dll");
    ASSERT_TRUE(plugin.Ok() && other.Ok());
    TestHub hub;
    ASSERT_TRUE(hub.Alive());

    ASSERT_EQ(hub->m_plugins.size(), 1u);
    CPluginRecord *record = hub->m_plugins[0];
    EXPECT_EQ(record->m_strName, "NvScanPlugin");
    EXPECT_EQ(record->m_strLocation, "Local");
    EXPECT_TRUE(record->IsInProcess());
    EXPECT_NE(record->m_nThreadId, 0u);
    EXPECT_EQ(record->m_pStream, nullptr);
    EXPECT_TRUE(IsLoaded("NvScanPlugin.dll"));
    EXPECT_FALSE(IsLoaded("NvScanOther.dll"));  // loaded, found wanting, unloaded

    EXPECT_EQ(hub->FindPlugin("nvscanplugin"), 0);
    EXPECT_EQ(hub->FindPlugin("NVSCANPLUGIN"), 0);
    EXPECT_EQ(hub->FindPlugin("NvScan"), -1);
    EXPECT_EQ(hub->FindPlugin("NvScanOther"), -1);

    DWORD pluginThread = record->m_nThreadId;
    hub.Close();
    EXPECT_TRUE(ThreadEnded(pluginThread, 0));
    EXPECT_FALSE(IsLoaded("NvScanPlugin.dll"));
}

TEST(PluginCatalogue, FailingEntryPointShowsOneBoxPerLoadAndIsCalledAgain) {
    MessageBoxWatcher boxes;  // a port another program holds is reported in a box
    PluginDir dir;
    ASSERT_TRUE(dir.Add("FailingEntry.dll", "NvFailing.dll"));
    ASSERT_TRUE(dir.Add("NoEntryPoint.dll", "NvNotAPlugin.dll"));
    ASSERT_TRUE(dir.Add("EchoPlugin.dll", "NvByPath.dll"));
    TestHub hub;

    // Not found, no plug-in, or a path instead of a name: -1 and nothing shown.
    EXPECT_EQ(hub->LoadPlugin("NvNoSuchPlugin"), -1);
    EXPECT_EQ(hub->LoadPlugin("NvNotAPlugin"), -1);
    EXPECT_FALSE(IsLoaded("NvNotAPlugin.dll"));
    EXPECT_EQ(hub->LoadPlugin((dir.Path() + "NvByPath").c_str()), -1);
    EXPECT_EQ(hub->LoadPlugin("..\\NvByPath"), -1);
    EXPECT_FALSE(IsLoaded("NvByPath.dll"));
    size_t before = boxes.Count();

    const std::string failure = "Couldn't load plugin NvFailing.dll";
    EXPECT_EQ(hub->LoadPlugin("NvFailing"), -1);  // returns once the box is dismissed
    EXPECT_EQ(boxes.Count(), before + 1);
    EXPECT_EQ(BoxesSaying(boxes, failure), 1u);
    HMODULE module = ::GetModuleHandleA("NvFailing.dll");
    ASSERT_TRUE(module);  // stays loaded after the failure
    typedef LONG(__stdcall * CallsProc)();
    auto calls = reinterpret_cast<CallsProc>(reinterpret_cast<void *>(::GetProcAddress(module, "FailingEntryCalls")));
    ASSERT_TRUE(calls);
    EXPECT_EQ(calls(), 1);

    EXPECT_EQ(hub->LoadPlugin("nvfailing"), -1);
    EXPECT_EQ(calls(), 2);
    EXPECT_EQ(BoxesSaying(boxes, "Couldn't load plugin nvfailing.dll"), 1u);  // the name as asked for
    EXPECT_EQ(boxes.Count(), before + 2);
    EXPECT_TRUE(hub->m_plugins.empty());
}

TEST(PluginCatalogue, ShutdownAsksEveryPluginFirstSoTheWaitsOverlap) {
    MessageBoxWatcher boxes;  // a port another program holds is reported in a box
    PluginDir dir;
    for (const char *name : {"NvSlowA.dll", "NvSlowB.dll", "NvSlowC.dll"})
        ASSERT_TRUE(dir.Add("SlowQuit.dll", name));
    TestHub hub;
    EXPECT_EQ(hub->LoadPlugin("NvSlowA"), 0);
    EXPECT_EQ(hub->LoadPlugin("NvSlowB"), 1);
    EXPECT_EQ(hub->LoadPlugin("NvSlowC"), 2);

    DWORD start = ::GetTickCount();
    hub.Close();
    DWORD took = MsSince(start);
    EXPECT_GE(took, 3500u);  // each thread takes about four seconds...
    EXPECT_LE(took, 6500u);  // ...and they take them together
    EXPECT_FALSE(IsLoaded("NvSlowA.dll"));
    EXPECT_FALSE(IsLoaded("NvSlowC.dll"));
}

TEST(PluginCatalogue, ThreadThatOutlastsTheWaitKeepsItsDllLoaded) {
    MessageBoxWatcher boxes;  // a port another program holds is reported in a box
    PluginDir dir;
    ASSERT_TRUE(dir.Add("SlowQuit.dll", "NvStuck.dll"));
    TestHub hub;
    ::SetEnvironmentVariableA("NORVANE_SLOWQUIT_MS", "6500");
    int index = hub->LoadPlugin("NvStuck");
    ::SetEnvironmentVariableA("NORVANE_SLOWQUIT_MS", nullptr);
    ASSERT_EQ(index, 0);
    CPluginRecord *record = hub->m_plugins[0];
    HANDLE thread = ::OpenThread(SYNCHRONIZE, FALSE, record->m_nThreadId);
    ASSERT_TRUE(thread);
    hub->RemovePlugin(record);
    EXPECT_TRUE(hub->m_plugins.empty());

    DWORD start = ::GetTickCount();
    delete record;
    DWORD took = MsSince(start);
    EXPECT_GE(took, 4800u);
    EXPECT_LE(took, 6000u);
    // Its thread still runs code of the DLL, so the DLL must stay.
    EXPECT_TRUE(IsLoaded("NvStuck.dll"));
    EXPECT_EQ(::WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    ::CloseHandle(thread);
}

TEST(PluginCatalogue, RegisteringReplacesByNameAndARenamedRecordKeepsItsPlace) {
    MessageBoxWatcher boxes;  // a port another program holds is reported in a box
    std::set<std::string> ended;
    TestHub hub;
    auto *first = new TrackedRecord("first", &ended, "10.0.0.1");
    auto *second = new TrackedRecord("second", &ended, "10.0.0.2");
    auto *third = new TrackedRecord("third", &ended, "10.0.0.3");
    EXPECT_EQ(first->m_strName, "None");

    first->Register("Slides");
    EXPECT_EQ(hub->m_plugins, Records({first}));
    EXPECT_EQ(first->m_strName, "Slides");

    second->Register("SLIDES");  // same name from another host: the first goes
    EXPECT_EQ(hub->m_plugins, Records({second}));
    EXPECT_EQ(ended, std::set<std::string>{"first"});

    third->Register("Music");
    second->Register("slides");  // the same record again: stays, in place
    EXPECT_EQ(hub->m_plugins, Records({second, third}));
    EXPECT_EQ(ended.count("second"), 0u);

    third->Register("Slides");  // a rename onto a taken name: the holder goes
    EXPECT_EQ(hub->m_plugins, Records({third}));
    EXPECT_EQ(ended.count("second"), 1u);
    EXPECT_EQ(hub->FindPlugin("slides"), 0);

    // Removal is by the record itself, not by its name and location.
    TrackedRecord lookalike("lookalike", &ended, "10.0.0.3");
    lookalike.m_strName = "Slides";
    lookalike.Unregister();
    EXPECT_EQ(hub->m_plugins, Records({third}));

    third->Unregister();  // out of the catalogue, back to its owner
    EXPECT_TRUE(hub->m_plugins.empty());
    EXPECT_EQ(ended.count("third"), 0u);
    third->Unregister();
    delete third;
}

TEST(PluginCatalogue, ReplacedNetworkPluginLeavesItsUsersUnattached) {
    MessageBoxWatcher boxes;  // a port another program holds is reported in a box
    std::set<std::string> ended;  // outlives the hub, which destroys what it still holds
    bool streamEnded = false;
    TestHub hub;
    auto *first = new TrackedRecord("first", &ended, "10.0.0.1");
    first->m_pStream = new TrackedStream(&streamEnded);
    first->Register("Slides");

    auto *connection = new CUserConnection(nullptr, 100, 100, 0);
    connection->stream = new CMemoryStream(&connection->userInfo);
    connection->stream->SetPeer(first->m_pStream);
    hub->m_connections[100] = connection;

    auto *second = new TrackedRecord("second", &ended, "10.0.0.2");
    second->Register("Slides");
    EXPECT_TRUE(streamEnded);
    EXPECT_EQ(ended.count("first"), 1u);
    EXPECT_EQ(connection->stream->GetPeer(), nullptr);
}

TEST(PluginCatalogue, NetworkPluginNamedLikeALoadedDllReplacesIt) {
    MessageBoxWatcher boxes;  // a port another program holds is reported in a box
    PluginDir dir;
    ASSERT_TRUE(dir.Add("EchoPlugin.dll", "NvEcho.dll"));
    TestHub hub;
    ASSERT_EQ(hub->LoadPlugin("NvEcho"), 0);
    DWORD pluginThread = hub->m_plugins[0]->m_nThreadId;

    auto *network = new CPluginRecord;
    network->Register("NVECHO");
    EXPECT_EQ(hub->m_plugins, Records({network}));
    EXPECT_TRUE(ThreadEnded(pluginThread, 0));  // told to quit and waited for
    EXPECT_FALSE(IsLoaded("NvEcho.dll"));
    EXPECT_EQ(hub->FindPlugin("nvecho"), 0);
}

TEST(PluginCatalogue, EchoPluginAnswersEveryUserOnItsOwnLink) {
    MessageBoxWatcher boxes;  // a port another program holds is reported in a box
    PluginDir dir;
    ASSERT_TRUE(dir.Add("EchoPlugin.dll", "NvEchoUsers.dll"));
    TestHub hub;
    ASSERT_EQ(hub->LoadPlugin("NvEchoUsers"), 0);
    DWORD pluginThread = hub->m_plugins[0]->m_nThreadId;
    long live = GlobalPacketsLive();
    {
        AttachedUser ann(100, pluginThread, "Ann");
        AttachedUser bob(101, pluginThread, "Bob");
        const Bytes fromAnn = {0x20, 0x03, 0x00, 0x41, 0x42, 0x43};
        const Bytes fromBob = {0x21, 0x02, 0x00, 0x44, 0x45};
        for (int i = 0; i < 10; ++i) {
            ann.Send(fromAnn);
            bob.Send(fromBob);
        }
        Bytes annExpected, bobExpected;
        for (int i = 0; i < 10; ++i) {
            annExpected.insert(annExpected.end(), fromAnn.begin(), fromAnn.end());
            bobExpected.insert(bobExpected.end(), fromBob.begin(), fromBob.end());
        }
        EXPECT_TRUE(PumpUntil([&] { return ann.user.Written() == annExpected; }, 3000));
        EXPECT_TRUE(PumpUntil([&] { return bob.user.Written() == bobExpected; }, 3000));
    }
    EXPECT_TRUE(WaitForLivePackets(live, 2000));
}
