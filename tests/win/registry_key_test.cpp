// The settings store's statuses and the boolean rule, against the real
// registry of the test prefix, under a key of its own.
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include "host/registry_key.h"

namespace {
std::string TestKeyPath() {
    return "Software\\Tarnwick\\NorvaneTest\\Registry" + std::to_string(::GetCurrentProcessId());
}

class RegistryKeyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::RegDeleteKeyA(HKEY_CURRENT_USER, TestKeyPath().c_str());
        key.Create(HKEY_CURRENT_USER, TestKeyPath().c_str());
        ASSERT_TRUE(key.IsOpen());
    }
    void TearDown() override {
        key.Close();
        ::RegDeleteKeyA(HKEY_CURRENT_USER, TestKeyPath().c_str());
    }
    void RawSet(const char *name, DWORD type, const void *data, DWORD size) {
        HKEY h;
        ASSERT_EQ(::RegOpenKeyExA(HKEY_CURRENT_USER, TestKeyPath().c_str(), 0, KEY_ALL_ACCESS, &h), ERROR_SUCCESS);
        ::RegSetValueExA(h, name, 0, type, static_cast<const BYTE *>(data), size);
        ::RegCloseKey(h);
    }
    CRegistryKey key;
};
}  // namespace

TEST_F(RegistryKeyTest, CreateTellsNewFromExisting) {
    EXPECT_EQ(key.Status(), CRegistryKey::kCreated);
    CRegistryKey again;
    again.Create(HKEY_CURRENT_USER, TestKeyPath().c_str());
    EXPECT_EQ(again.Status(), CRegistryKey::kOpened);
}

TEST_F(RegistryKeyTest, DwordRoundTripAndMissingValue) {
    EXPECT_EQ(key.SetDword("PortUser5", 5), ERROR_SUCCESS);
    EXPECT_EQ(key.Status(), CRegistryKey::kSuccess);
    EXPECT_EQ(key.GetDword("PortUser5"), 5u);
    EXPECT_EQ(key.GetDword("Missing"), 0u);
    EXPECT_EQ(key.Status(), CRegistryKey::kFailure);
}

TEST_F(RegistryKeyTest, BooleanSettingIsOffOnlyForAStoredDwordZero) {
    EXPECT_TRUE(key.GetBool("AutoCloseHotSync"));  // missing
    RawSet("AutoCloseHotSync", REG_SZ, "0", 2);
    EXPECT_TRUE(key.GetBool("AutoCloseHotSync"));  // wrong type
    key.SetBool("AutoCloseHotSync", FALSE);
    EXPECT_FALSE(key.GetBool("AutoCloseHotSync"));
    key.SetDword("AutoCloseHotSync", 7);
    EXPECT_TRUE(key.GetBool("AutoCloseHotSync"));
    key.SetBool("AutoCloseHotSync", 0x100);  // only the low byte of the caller's flag counts
    EXPECT_FALSE(key.GetBool("AutoCloseHotSync"));
}

TEST_F(RegistryKeyTest, StringReadsFailAboveTheBufferAndOnOtherTypes) {
    key.SetString("Location", "C:\\norvane\\norvane.exe");
    char *text = key.GetString("Location");
    EXPECT_STREQ(text, "C:\\norvane\\norvane.exe");
    EXPECT_EQ(key.Status(), CRegistryKey::kSuccess);
    delete[] text;

    std::string longPath(300, 'x');
    key.SetString("HotSyncPath", longPath.c_str());
    text = key.GetString("HotSyncPath");
    EXPECT_STREQ(text, "");
    EXPECT_EQ(key.Status(), CRegistryKey::kFailure);
    delete[] text;

    key.SetDword("Number", 1);
    text = key.GetString("Number");
    EXPECT_STREQ(text, "");
    EXPECT_EQ(key.Status(), CRegistryKey::kFailure);
    delete[] text;
}

TEST_F(RegistryKeyTest, DeleteOfAMissingValueFailsQuietly) {
    key.SetDword("PortUser3", 3);
    key.DeleteValue("PortUser3");
    EXPECT_EQ(key.Status(), CRegistryKey::kSuccess);
    key.DeleteValue("PortUser3");
    EXPECT_EQ(key.Status(), CRegistryKey::kFailure);
    EXPECT_EQ(key.GetValueCount(), 0u);
}

TEST_F(RegistryKeyTest, EnumeratesNamesAndRefusesNamesThatDoNotFit) {
    std::string longName(100, 'N');
    key.SetDword("Notifier1", 1);
    key.SetDword(longName.c_str(), 2);
    EXPECT_EQ(key.GetValueCount(), 2u);
    int fitted = 0, refused = 0;
    for (DWORD i = 0; i < 2; ++i) {
        char name[100] = "junk";
        LONG r = key.EnumValueName(i, name, sizeof name);
        if (r == ERROR_SUCCESS) {
            EXPECT_STREQ(name, "Notifier1");
            ++fitted;
        } else {
            EXPECT_STREQ(name, "");
            EXPECT_EQ(key.Status(), CRegistryKey::kFailure);
            ++refused;
        }
    }
    EXPECT_EQ(fitted, 1);
    EXPECT_EQ(refused, 1);
}

TEST(RegistryKeyClosed, AKeyThatIsNotOpenReadsAsOnAndWritesNothing) {
    CRegistryKey key;  // never created
    EXPECT_EQ(key.SetDword("x", 1), 0);
    EXPECT_EQ(key.GetDword("x"), 1u);
    EXPECT_TRUE(key.GetBool("x"));
    EXPECT_EQ(key.GetString("x"), nullptr);
    EXPECT_EQ(key.GetValueCount(), 1u);
    char name[8];
    EXPECT_EQ(key.EnumValueName(0, name, sizeof name), 1);
    EXPECT_EQ(key.Status(), CRegistryKey::kNothing);
}
