// The connection list model: UIDs against positions, the lookups the router
// and the serial code rely on, and which failures tell the operator. Messages
// are recorded through the model's sink instead of shown.
#include <gtest/gtest.h>

#include <string>
#include <vector>
#include "ui/list_model.h"

namespace {

// Stand-ins for live connections: the model only compares their addresses.
CUserConnection *FakeUser(int n) { return reinterpret_cast<CUserConnection *>(static_cast<uintptr_t>(0x1000 * n)); }

class RecordingModel : public ListModel {
public:
    RecordingModel() {
        SetMessageSink([this](const char *text) { messages.push_back(text); });
    }
    void SetCounter(uint32_t value) { m_nextUID = value; }
    std::vector<std::string> messages;
};

const char kNotFound[] = "ListModel::getTemporaryModelIndex did not find requested node UID.";
const char kSerialRuid[] =
    "ListModel::findIndexByRUID found RUID, but the connection type is Serial, logical assert failure";

TEST(ListModel, StateTexts) {
    EXPECT_STREQ(kStateText[kNodeSearching], "Searching");
    EXPECT_STREQ(kStateText[kNodeConnected], "Connected");
    EXPECT_STREQ(kStateText[kNodeDisconnected], "Disconnected");
    EXPECT_STREQ(kStateText[kNodeDenied], "Denied");
    EXPECT_STREQ(kStateText[kNodeError], "Error");
    EXPECT_STREQ(StateText(kNodeNoState), "");
    EXPECT_STREQ(StateText(5), "");
}

TEST(ListModel, NewNodesStartBlankAndUidsCountFromOne) {
    RecordingModel m;
    int32_t a = m.addItem(FakeUser(1));
    int32_t b = m.addItemByRUID("HANDHELD-1");
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 2);
    ListNode *na = m.getNode(a);
    ASSERT_NE(na, nullptr);
    EXPECT_EQ(na->user, FakeUser(1));
    EXPECT_EQ(na->state, kNodeNoState);
    EXPECT_EQ(na->comPort, 0);
    EXPECT_TRUE(na->ruid.empty() && na->userName.empty() && na->connectionText.empty());
    ListNode *nb = m.getNode(b);
    ASSERT_NE(nb, nullptr);
    EXPECT_EQ(nb->user, nullptr);
    EXPECT_EQ(nb->ruid, "HANDHELD-1");
    EXPECT_TRUE(m.messages.empty());
}

TEST(ListModel, EmptyModelLookups) {
    RecordingModel m;
    EXPECT_EQ(m.getNode(7), nullptr);
    ASSERT_EQ(m.messages, std::vector<std::string>{kNotFound});  // exactly one message
    m.messages.clear();
    EXPECT_EQ(m.findIndexByRUID("x"), 0);
    EXPECT_EQ(m.findIndexByRUID(""), 0);
    EXPECT_EQ(m.findNodeIDfromPort(3), 0);
    EXPECT_EQ(m.findNodeIDfromUser(FakeUser(1)), 0);
    EXPECT_TRUE(m.messages.empty());
}

TEST(ListModel, ZeroUidHasItsOwnMessagesAndNeverScans) {
    RecordingModel m;
    m.addItem(FakeUser(1));
    EXPECT_EQ(m.getNode(0), nullptr);
    EXPECT_FALSE(m.removeItem(0));
    EXPECT_EQ(m.messages, (std::vector<std::string>{"ListModel::getNode was passed in 0.",
                                                    "ListModel::removeItem passed with an invalid model index."}));
    EXPECT_EQ(m.GetCount(), 1);
}

TEST(ListModel, BadPositionsAndNullUser) {
    RecordingModel m;
    m.addItem(FakeUser(1));
    EXPECT_EQ(m.ElementAt(-1), nullptr);
    EXPECT_EQ(m.ElementAt(1), nullptr);
    EXPECT_NE(m.ElementAt(0), nullptr);
    EXPECT_EQ(m.findNodeIDfromUser(nullptr), 0);
    EXPECT_EQ(m.getTemporaryModelIndex(99), -1);
    EXPECT_EQ(m.messages, (std::vector<std::string>{
                              "ListModel::ElementAt passed with an invalid temporary index.",
                              "ListModel::ElementAt passed with an invalid temporary index.",
                              "ListModel::findNodeIDfromUser was passed in a NULL user ptr", kNotFound}));
}

TEST(ListModel, RemovalClosesTheGapAndKeepsUids) {
    RecordingModel m;
    int32_t a = m.addItem(FakeUser(1));
    int32_t b = m.addItem(FakeUser(2));
    int32_t c = m.addItem(FakeUser(3));
    EXPECT_TRUE(m.removeItem(a));
    EXPECT_EQ(m.getTemporaryModelIndex(b), 0);
    EXPECT_EQ(m.getTemporaryModelIndex(c), 1);
    EXPECT_EQ(m.getNode(b)->user, FakeUser(2));
    EXPECT_EQ(m.findNodeIDfromUser(FakeUser(3)), c);
    // A removed UID is gone for good and is not handed out again.
    EXPECT_FALSE(m.removeItem(a));
    EXPECT_EQ(m.messages, std::vector<std::string>{kNotFound});
    EXPECT_EQ(m.addItem(FakeUser(4)), 4);
    EXPECT_EQ(m.GetCount(), 3);
}

TEST(ListModel, FindsByUserIdentityAndPort) {
    RecordingModel m;
    int32_t net = m.addItem(FakeUser(1));
    int32_t ser = m.addItem(FakeUser(2));
    m.getNode(ser)->comPort = 5;
    EXPECT_EQ(m.findNodeIDfromUser(FakeUser(2)), ser);
    EXPECT_EQ(m.findNodeIDfromUser(FakeUser(9)), 0);
    EXPECT_EQ(m.findNodeIDfromPort(5), ser);
    EXPECT_EQ(m.findNodeIDfromPort(6), 0);
    // Network nodes have port 0, yet port 0 names no node.
    EXPECT_EQ(m.findNodeIDfromPort(0), 0);
    EXPECT_EQ(m.findNodeIDfromPort(-1), 0);
    (void)net;
    EXPECT_TRUE(m.messages.empty());
}

TEST(ListModel, RuidLookupIsCaseSensitiveAndStopsAtZero) {
    RecordingModel m;
    int32_t a = m.addItemByRUID("Palm-A");
    EXPECT_EQ(m.findIndexByRUID("Palm-A"), a);
    EXPECT_EQ(m.findIndexByRUID("palm-a"), 0);
    const char withTail[] = "Palm-A\0garbage";
    EXPECT_EQ(m.findIndexByRUID(withTail), a);
    // The result is the UID, not the position.
    m.removeItem(m.addItemByRUID("x"));
    int32_t b = m.addItemByRUID("Palm-B");
    EXPECT_EQ(m.findIndexByRUID("Palm-B"), b);
    EXPECT_NE(b, m.getTemporaryModelIndex(b));
    EXPECT_TRUE(m.messages.empty());
}

TEST(ListModel, EmptyRuidMeetsASerialNodeFirst) {
    RecordingModel m;
    int32_t ser = m.addItem(FakeUser(1));
    m.getNode(ser)->comPort = 3;
    int32_t net = m.addItemByRUID("");
    EXPECT_EQ(m.findIndexByRUID(""), 0);
    EXPECT_EQ(m.findIndexByRUID(nullptr), 0);
    EXPECT_EQ(m.messages, (std::vector<std::string>{kSerialRuid, kSerialRuid}));
    // Once the serial node is gone, the empty RUID finds the network node.
    m.removeItem(ser);
    m.messages.clear();
    EXPECT_EQ(m.findIndexByRUID(""), net);
    EXPECT_TRUE(m.messages.empty());
}

TEST(ListModel, WrappedCounterSkipsZeroAndUidsInUse) {
    RecordingModel m;
    m.SetCounter(0xFFFFFFFEu);
    int32_t last = m.addItem(FakeUser(1));
    EXPECT_EQ(last, -1);  // 0xFFFFFFFF as a signed UID
    int32_t one = m.addItem(FakeUser(2));
    EXPECT_EQ(one, 1);
    m.SetCounter(0);
    EXPECT_EQ(m.addItem(FakeUser(3)), 2);  // 1 is still present
}

}  // namespace
