// The main dialog's rows on a real hub window, and the port probe's range.
// NORVANE_TEST_USES_HUB_PORTS: the hub binds its fixed ports.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <string>
#include <vector>
#include "app/hub_frame.h"
#include "message_box_watcher.h"
#include "test_hub.h"
#include "ui/add_port_dialog.h"
#include "ui/main_dialog.h"

namespace {

HWND ListOf(TestHub &hub) { return ::GetDlgItem(hub->m_pMainDlg->GetSafeHwnd(), 1019); }

int RowCount(TestHub &hub) { return static_cast<int>(::SendMessageA(ListOf(hub), LVM_GETITEMCOUNT, 0, 0)); }

std::string Cell(TestHub &hub, int row, int column) {
    char text[256] = "";
    LVITEMA item = {};
    item.iSubItem = column;
    item.pszText = text;
    item.cchTextMax = sizeof text;
    ::SendMessageA(ListOf(hub), LVM_GETITEMTEXTA, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    return text;
}

}  // namespace

TEST(MainDialog, InvalidUidsAreReportedAndAddNoRow) {
    TestHub hub;
    MessageBoxWatcher boxes;
    EXPECT_FALSE(hub->m_pMainDlg->UpdatePortInfoFromUID(0));
    EXPECT_FALSE(hub->m_pMainDlg->UpdatePortInfoFromUID(77));
    ASSERT_TRUE(boxes.WaitForCount(3, 5000));
    std::vector<std::string> texts = boxes.Texts();
    EXPECT_EQ("CVelmarPCDlg::UpdatePortInfoFromUID invalid node UID parameter passed in.", texts[0]);
    EXPECT_EQ("ListModel::getTemporaryModelIndex did not find requested node UID.", texts[1]);
    EXPECT_EQ("CVelmarPCDlg::UpdatePortInfoFromUID invalid node UID, ListNode * came back NULL", texts[2]);
    EXPECT_EQ(0, RowCount(hub));
}

TEST(MainDialog, ANodeWithoutUserShowsAsADisconnectedNetworkUserInOneRow) {
    TestHub hub;
    int32_t uid = hub->m_listModel.addItemByRUID("GONE");
    ListNode *node = hub->m_listModel.getNode(uid);
    node->userName = "Zed";
    node->connectionText = "10.0.0.7";
    node->state = kNodeConnected;
    EXPECT_TRUE(hub->m_pMainDlg->UpdatePortInfoFromUID(uid));
    EXPECT_TRUE(hub->m_pMainDlg->UpdatePortInfoFromUID(uid));
    ASSERT_EQ(1, RowCount(hub));
    EXPECT_EQ(0, hub->m_pMainDlg->FindRowFromUID(uid));
    EXPECT_EQ("Zed", Cell(hub, 0, 0));
    EXPECT_EQ("Network User", Cell(hub, 0, 1));
    EXPECT_EQ("Disconnected", Cell(hub, 0, 2));
    // The node itself changed, not only its row.
    node = hub->m_listModel.getNode(uid);
    EXPECT_EQ("Network User", node->connectionText);
    EXPECT_EQ(kNodeDisconnected, node->state);
}

TEST(AddPortProbe, AsksAboutCom1ToCom32AndOpensNoHeldPort) {
    std::vector<int> asked;
    std::vector<int> listed = ProbeComPorts([&](int port) { asked.push_back(port); return true; }, 100);
    EXPECT_TRUE(listed.empty());
    ASSERT_EQ(32u, asked.size());
    EXPECT_EQ(1, asked.front());
    EXPECT_EQ(32, asked.back());
}
