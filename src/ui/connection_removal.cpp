// The operator's removal of the selected row of the main dialog.
//
// Both questions are modal loops in which anything can happen: the handheld
// can leave, another can connect, the hub can shut down. So the row is known
// only by its node's UID, the node is looked up again after the question,
// and a network node's user connection is used only if the hub still holds
// it (after a shutdown the node's reference would point at nothing).
#include "app/hub_frame.h"
#include <commctrl.h>
#include "app/user_connection.h"
#include "framework/message_box.h"
#include "resource.h"
#include "ui/main_dialog.h"

namespace {

bool Holds(const CHubFrame &hub, const CUserConnection *connection) {
    for (const auto &entry : hub.m_connections)
        if (entry.second == connection) return true;
    return false;
}

}  // namespace

void CVelmarPCDlg::OnRemoveConnection() {
    int row = static_cast<int>(::SendMessageA(List(), LVM_GETSELECTIONMARK, 0, 0));
    if (row < 0) {
        fw::AppMessageBoxRes(IDS_SELECT_TO_REMOVE, MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    LVITEMA item = {};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    if (!::SendMessageA(List(), LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item))) return;
    int uid = static_cast<int>(item.lParam);
    if (fw::AppMessageBoxRes(IDS_CONFIRM_REMOVE, MB_YESNO | MB_ICONQUESTION) != IDYES) return;
    if (!m_pHub->GetSafeHwnd()) return;

    ListNode *node = m_pHub->m_listModel.getNode(uid);
    if (!node) return;  // the model said why
    if (node->IsSerial()) {
        m_pHub->RemoveConnection(node->comPort);
    } else if (node->user && node->state == kNodeConnected && Holds(*m_pHub, node->user)) {
        // The handheld keeps its TCP connection but loses its plug-in, and
        // with its node its RUID: it must be paired again.
        m_pHub->DetachUser(node->user);
    }
    m_pHub->m_listModel.removeItem(uid);
    DeleteRowOfUID(uid);
}
