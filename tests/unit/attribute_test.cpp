#include "fixture.h"
#include "wire/attributes.h"

#include <PCSC/reader.h>

namespace {

using fakepcsc::Seen;

class AttributeTest : public CoreTest {
protected:
    void SetAttribute(DWORD id, size_t length, uint8_t fill = 0x41) {
        std::string data(length, static_cast<char>(fill));
        fakepcsc::SetAttribute(id, reinterpret_cast<const uint8_t*>(data.data()), length);
    }
};

// The identifiers are what readers answer to; a typo here is silent anywhere else.
TEST(AttributeNames, MapToTheStandardIdentifiers) {
    struct Expected {
        const char* name;
        uint32_t id;
    };
    const Expected expected[] = {
        {"VENDOR_NAME", SCARD_ATTR_VENDOR_NAME},
        {"VENDOR_IFD_TYPE", SCARD_ATTR_VENDOR_IFD_TYPE},
        {"VENDOR_IFD_VERSION", SCARD_ATTR_VENDOR_IFD_VERSION},
        {"VENDOR_IFD_SERIAL_NO", SCARD_ATTR_VENDOR_IFD_SERIAL_NO},
        {"CHANNEL_ID", SCARD_ATTR_CHANNEL_ID},
        {"DEFAULT_CLK", SCARD_ATTR_DEFAULT_CLK},
        {"MAX_CLK", SCARD_ATTR_MAX_CLK},
        {"DEFAULT_DATA_RATE", SCARD_ATTR_DEFAULT_DATA_RATE},
        {"MAX_DATA_RATE", SCARD_ATTR_MAX_DATA_RATE},
        {"MAX_IFSD", SCARD_ATTR_MAX_IFSD},
        {"POWER_MGMT_SUPPORT", SCARD_ATTR_POWER_MGMT_SUPPORT},
        {"USER_TO_CARD_AUTH_DEVICE", SCARD_ATTR_USER_TO_CARD_AUTH_DEVICE},
        {"USER_AUTH_INPUT_DEVICE", SCARD_ATTR_USER_AUTH_INPUT_DEVICE},
        {"CHARACTERISTICS", SCARD_ATTR_CHARACTERISTICS},
        {"CURRENT_PROTOCOL_TYPE", SCARD_ATTR_CURRENT_PROTOCOL_TYPE},
        {"CURRENT_CLK", SCARD_ATTR_CURRENT_CLK},
        {"CURRENT_F", SCARD_ATTR_CURRENT_F},
        {"CURRENT_D", SCARD_ATTR_CURRENT_D},
        {"CURRENT_N", SCARD_ATTR_CURRENT_N},
        {"CURRENT_W", SCARD_ATTR_CURRENT_W},
        {"CURRENT_IFSC", SCARD_ATTR_CURRENT_IFSC},
        {"CURRENT_IFSD", SCARD_ATTR_CURRENT_IFSD},
        {"CURRENT_BWT", SCARD_ATTR_CURRENT_BWT},
        {"CURRENT_CWT", SCARD_ATTR_CURRENT_CWT},
        {"CURRENT_EBC_ENCODING", SCARD_ATTR_CURRENT_EBC_ENCODING},
        {"EXTENDED_BWT", SCARD_ATTR_EXTENDED_BWT},
        {"ICC_PRESENCE", SCARD_ATTR_ICC_PRESENCE},
        {"ICC_INTERFACE_STATUS", SCARD_ATTR_ICC_INTERFACE_STATUS},
        {"CURRENT_IO_STATE", SCARD_ATTR_CURRENT_IO_STATE},
        {"ATR_STRING", SCARD_ATTR_ATR_STRING},
        {"ICC_TYPE_PER_ATR", SCARD_ATTR_ICC_TYPE_PER_ATR},
        {"ESC_RESET", SCARD_ATTR_ESC_RESET},
        {"ESC_CANCEL", SCARD_ATTR_ESC_CANCEL},
        {"ESC_AUTHREQUEST", SCARD_ATTR_ESC_AUTHREQUEST},
        {"MAXINPUT", SCARD_ATTR_MAXINPUT},
        {"DEVICE_UNIT", SCARD_ATTR_DEVICE_UNIT},
        {"DEVICE_IN_USE", SCARD_ATTR_DEVICE_IN_USE},
        {"DEVICE_FRIENDLY_NAME", SCARD_ATTR_DEVICE_FRIENDLY_NAME_A},
        {"DEVICE_SYSTEM_NAME", SCARD_ATTR_DEVICE_SYSTEM_NAME_A},
        {"SUPRESS_T1_IFS_REQUEST", SCARD_ATTR_SUPRESS_T1_IFS_REQUEST},
    };
    ASSERT_EQ(velmora::kAttributeNameCount, sizeof expected / sizeof expected[0]);
    for (const Expected& e : expected) {
        uint32_t id = 0;
        EXPECT_TRUE(velmora::LookUpAttribute(e.name, &id)) << e.name;
        EXPECT_EQ(id, e.id) << e.name;
    }
    uint32_t id = 0;
    EXPECT_TRUE(velmora::LookUpAttribute("vendor_name", &id));
    EXPECT_FALSE(velmora::LookUpAttribute("PROTOCOL_TYPES", &id));
    EXPECT_FALSE(velmora::LookUpAttribute("", &id));
}

TEST_F(AttributeTest, NameMatchingAndItsReplies) {
    OpenReader(true);
    const uint8_t vendor[] = {'V', 'M'};
    fakepcsc::SetAttribute(SCARD_ATTR_VENDOR_NAME, vendor, sizeof vendor);
    EXPECT_EQ(Run("get_attribute vendor_name"), "200 GET_ATTRIBUTE SUCCESS 564D");
    EXPECT_EQ(Run("Get_Attribute Vendor_Name"), "200 GET_ATTRIBUTE SUCCESS 564D");
    EXPECT_EQ(Run("GET_ATTRIBUTE  VENDOR_NAME"), "500 invalid attribute in 'GET_ATTRIBUTE  VENDOR_NAME'");
    EXPECT_EQ(Run("GET_ATTRIBUTE "), "500 invalid attribute in 'GET_ATTRIBUTE '");
    EXPECT_EQ(Run("GET_ATTRIBUTE ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789ABCDEFGHIJ"),
              "500 invalid attribute in 'GET_ATTRIBUTE ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789'");
    EXPECT_EQ(Run("GET_ATTRIBUTE MAX_CLK"), "500 SCardGetAttrib()=80100022");
}

TEST_F(AttributeTest, NoConnectionComesBeforeTheNameCheck) {
    EXPECT_EQ(Run("GET_ATTRIBUTE NOSUCHNAME"), "200 GET_ATTRIBUTE NO_MEDIA");
}

TEST_F(AttributeTest, SizeLimits) {
    OpenReader(true);
    SetAttribute(SCARD_ATTR_VENDOR_NAME, 0);
    SetAttribute(SCARD_ATTR_VENDOR_IFD_TYPE, 485);
    SetAttribute(SCARD_ATTR_VENDOR_IFD_VERSION, 486);
    SetAttribute(SCARD_ATTR_VENDOR_IFD_SERIAL_NO, 1001);
    EXPECT_EQ(Run("GET_ATTRIBUTE VENDOR_NAME"), "200 GET_ATTRIBUTE SUCCESS ");
    EXPECT_EQ(Run("GET_ATTRIBUTE VENDOR_IFD_TYPE").size(), 996u);
    EXPECT_EQ(Run("GET_ATTRIBUTE VENDOR_IFD_VERSION"), "500 GET_ATTRIBUTE Buffer too small Len=486 ALen=998");
    EXPECT_EQ(Seen().lastAttribRequest, 1000u);
    EXPECT_EQ(Run("GET_ATTRIBUTE VENDOR_IFD_SERIAL_NO"), "500 SCardGetAttrib()=80100008");
}

TEST_F(AttributeTest, DirectConnectionIsDroppedAfterEveryOutcome) {
    OpenReader(false);
    const uint8_t vendor[] = {'V'};
    fakepcsc::SetAttribute(SCARD_ATTR_VENDOR_NAME, vendor, sizeof vendor);
    EXPECT_EQ(Run("GET_ATTRIBUTE VENDOR_NAME"), "200 GET_ATTRIBUTE SUCCESS 56");
    EXPECT_EQ(Run("GET_ATTRIBUTE NOSUCHNAME"), "500 invalid attribute in 'GET_ATTRIBUTE NOSUCHNAME'");
    EXPECT_EQ(Run("GET_ATTRIBUTE MAX_CLK"), "500 SCardGetAttrib()=80100022");
    EXPECT_EQ(Seen().directConnects, 3);
    EXPECT_EQ(Seen().openHandles, 0);
    EXPECT_EQ(velmora::g_card.card, 0u);
}

// A reader driver without the ATR attribute: the card connection's own ATR
// answers instead, and only for that attribute and a card.
TEST_F(AttributeTest, AtrComesFromTheCardWhenTheReaderHasNoAttributeForIt) {
    const uint8_t atr[] = {0x3B, 0x02, 0xAA, 0xBB};
    const uint8_t fromReader[] = {0x3B, 0x00};
    struct Case {
        const char* name;
        bool withCard;
        bool readerHasAtr;
        LONG statusFails;
        const char* line;
        const char* reply;
    } cases[] = {
        {"fallback", true, false, 0, "GET_ATTRIBUTE ATR_STRING", "200 GET_ATTRIBUTE SUCCESS 3B02AABB"},
        {"any case", true, false, 0, "get_attribute atr_string", "200 GET_ATTRIBUTE SUCCESS 3B02AABB"},
        {"reader's own first", true, true, 0, "GET_ATTRIBUTE ATR_STRING", "200 GET_ATTRIBUTE SUCCESS 3B00"},
        {"status fails too", true, false, SCARD_E_READER_UNAVAILABLE, "GET_ATTRIBUTE ATR_STRING",
         "500 SCardGetAttrib()=80100022"},
        {"other attribute", true, false, 0, "GET_ATTRIBUTE ICC_TYPE_PER_ATR", "500 SCardGetAttrib()=80100022"},
        {"no card", false, false, 0, "GET_ATTRIBUTE ATR_STRING", "500 SCardGetAttrib()=80100022"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fakepcsc::Reset();
        reader = fakepcsc::AddReader(kReaderName);
        velmora::g_card = velmora::CardAccessState{};
        if (c.withCard) fakepcsc::InsertCard(reader, SCARD_PROTOCOL_T1, atr, sizeof atr);
        OpenReader(false);
        if (c.withCard) velmora::g_card.readerState.dwCurrentState = SCARD_STATE_PRESENT;
        if (c.readerHasAtr) fakepcsc::SetAttribute(SCARD_ATTR_ATR_STRING, fromReader, sizeof fromReader);
        fakepcsc::Fail().status = c.statusFails;
        EXPECT_EQ(Run(c.line), c.reply);
    }
}

// pcsc-lite's client refuses requests above its own buffer; the query asks
// again within that limit instead of failing every attribute.
TEST_F(AttributeTest, ClientRequestLimitIsWorkedAround) {
    OpenReader(true);
    fakepcsc::SetAttribRequestLimit(264);
    const uint8_t atr[] = {0x3B, 0x80, 0x80, 0x01, 0x01};
    fakepcsc::SetAttribute(SCARD_ATTR_ATR_STRING, atr, sizeof atr);
    SetAttribute(SCARD_ATTR_VENDOR_IFD_TYPE, 300);
    EXPECT_EQ(Run("GET_ATTRIBUTE ATR_STRING"), "200 GET_ATTRIBUTE SUCCESS 3B80800101");
    EXPECT_EQ(Seen().lastAttribRequest, 264u);
    EXPECT_EQ(Run("GET_ATTRIBUTE VENDOR_IFD_TYPE"), "500 SCardGetAttrib()=80100008");
}

} // namespace
