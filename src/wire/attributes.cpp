#include "wire/attributes.h"

#include "wire/ascii.h"

namespace velmora {

const AttributeName kAttributeNames[] = {
    {"VENDOR_NAME", 0x00010100u},
    {"VENDOR_IFD_TYPE", 0x00010101u},
    {"VENDOR_IFD_VERSION", 0x00010102u},
    {"VENDOR_IFD_SERIAL_NO", 0x00010103u},
    {"CHANNEL_ID", 0x00020110u},
    {"DEFAULT_CLK", 0x00030121u},
    {"MAX_CLK", 0x00030122u},
    {"DEFAULT_DATA_RATE", 0x00030123u},
    {"MAX_DATA_RATE", 0x00030124u},
    {"MAX_IFSD", 0x00030125u},
    {"POWER_MGMT_SUPPORT", 0x00040131u},
    {"USER_TO_CARD_AUTH_DEVICE", 0x00050140u},
    {"USER_AUTH_INPUT_DEVICE", 0x00050142u},
    {"CHARACTERISTICS", 0x00060150u},
    {"CURRENT_PROTOCOL_TYPE", 0x00080201u},
    {"CURRENT_CLK", 0x00080202u},
    {"CURRENT_F", 0x00080203u},
    {"CURRENT_D", 0x00080204u},
    {"CURRENT_N", 0x00080205u},
    {"CURRENT_W", 0x00080206u},
    {"CURRENT_IFSC", 0x00080207u},
    {"CURRENT_IFSD", 0x00080208u},
    {"CURRENT_BWT", 0x00080209u},
    {"CURRENT_CWT", 0x0008020Au},
    {"CURRENT_EBC_ENCODING", 0x0008020Bu},
    {"EXTENDED_BWT", 0x0008020Cu},
    {"ICC_PRESENCE", 0x00090300u},
    {"ICC_INTERFACE_STATUS", 0x00090301u},
    {"CURRENT_IO_STATE", 0x00090302u},
    {"ATR_STRING", 0x00090303u},
    {"ICC_TYPE_PER_ATR", 0x00090304u},
    {"ESC_RESET", 0x0007A000u},
    {"ESC_CANCEL", 0x0007A003u},
    {"ESC_AUTHREQUEST", 0x0007A005u},
    {"MAXINPUT", 0x0007A007u},
    {"DEVICE_UNIT", 0x7FFF0001u},
    {"DEVICE_IN_USE", 0x7FFF0002u},
    {"DEVICE_FRIENDLY_NAME", 0x7FFF0003u},
    {"DEVICE_SYSTEM_NAME", 0x7FFF0004u},
    {"SUPRESS_T1_IFS_REQUEST", 0x7FFF0007u},
};
const size_t kAttributeNameCount = sizeof kAttributeNames / sizeof kAttributeNames[0];

bool LookUpAttribute(const char* name, uint32_t* id) {
    for (const AttributeName& entry : kAttributeNames) {
        if (AsciiEqualNoCase(name, entry.name)) {
            *id = entry.id;
            return true;
        }
    }
    return false;
}

const char* NameOfAttribute(uint32_t id) {
    for (const AttributeName& entry : kAttributeNames) {
        if (entry.id == id) return entry.name;
    }
    return nullptr;
}

} // namespace velmora
