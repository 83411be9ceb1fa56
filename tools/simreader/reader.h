// One simulated reader: a card slot, the card, an optional PIN pad, the
// reader's attributes, and a record of what reached it. Everything pcscd
// and the control channel do to it goes through here, under one lock.
#pragma once

#include "bytes.h"
#include "card.h"
#include "pinpad.h"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "ifd.h"
#include "wire/control_code.h"

namespace simreader {

// The reader's own control codes, in pcsc-lite's encoding.
constexpr DWORD CtlCode(DWORD n) { return velmora::PcscCtlCode(n); }
constexpr DWORD kCtlFeatureRequest = CtlCode(3400);
constexpr DWORD kCtlEscape = CtlCode(3500);
constexpr DWORD kCtlVerifyPinStart = CtlCode(3501);
constexpr DWORD kCtlVerifyPinFinish = CtlCode(3502);
constexpr DWORD kCtlGetKeyPressed = CtlCode(3505);
constexpr DWORD kCtlAbort = CtlCode(3511);

constexpr DWORD kAttrVendorName = 0x00010100;
constexpr DWORD kAttrIfdType = 0x00010101;
constexpr DWORD kAttrIfdVersion = 0x00010102;
constexpr DWORD kAttrIfdSerial = 0x00010103;
constexpr DWORD kAttrAtrString = 0x00090303;

class Reader {
public:
    // deviceName: the reader's DEVICENAME, its settings file BASE.conf with
    // one control command a line. The control socket is BASE.sock.
    explicit Reader(const std::string& deviceName);

    std::string SocketPath() const { return base_ + ".sock"; }

    // Back to the defaults, then the settings file. False if it has a bad line.
    bool Configure(std::string* error);
    // Whether pcscd is to wait on WaitForEvent rather than poll on its own.
    bool EventWait();

    // One control line in, one reply line out (without the newline).
    std::string Command(const std::string& line);

    // The IFD handler's operations.
    RESPONSECODE Presence();
    RESPONSECODE Power(DWORD action, PUCHAR atr, PDWORD atrLength);
    RESPONSECODE SetProtocol(DWORD protocol);
    RESPONSECODE Transmit(const Bytes& command, PUCHAR rx, PDWORD rxLength);
    RESPONSECODE Control(DWORD code, const Bytes& in, PUCHAR rx, DWORD rxLength, LPDWORD returned);
    RESPONSECODE Attribute(DWORD tag, PDWORD length, PUCHAR value);

    // Blocks until the card has come or gone since the last return, the
    // timeout passes or StopWaiting is called. True unless it timed out.
    bool WaitForEvent(int timeoutMs);
    void StopWaiting();

private:
    using Lock = std::unique_lock<std::mutex>;
    bool ConfigureLocked(std::string* error);
    std::string Run(const std::string& line);
    std::string Dispatch(const std::string& keyword, const std::string& args);
    std::string CmdPing(const std::string& args);
    std::string CmdStatus(const std::string& args);
    std::string CmdInsert(const std::string& args);
    std::string CmdRemove(const std::string& args);
    std::string CmdCard(const std::string& args);
    std::string CmdAtr(const std::string& args);
    std::string CmdPin(const std::string& args);
    std::string CmdPinPad(const std::string& args);
    std::string CmdKeys(const std::string& args);
    std::string CmdAttr(const std::string& args);
    std::string CmdVendor(const std::string& args);
    std::string CmdAtrAttr(const std::string& args);
    std::string CmdPinBlock(const std::string& args);
    std::string CmdNotify(const std::string& args);
    std::string CmdLastControl(const std::string& args);
    std::string CmdLastApdu(const std::string& args);
    std::string CmdReset(const std::string& args);
    std::string CmdUnplug(const std::string& args);
    std::string CmdPlug(const std::string& args);
    std::string CmdDelay(const std::string& args);
    void WantPresent(bool present);
    void SetPresent(bool present);
    void Defaults();
    Bytes FeatureAnswer() const;
    RESPONSECODE PinPadControl(DWORD code, const Bytes& in, Bytes* out);
    RESPONSECODE FinishEntry(Bytes* out);

    const std::string base_;
    std::mutex mutex_;
    std::condition_variable changed_;
    Card card_;
    PinPad pinPad_;
    std::map<DWORD, Bytes> attributes_;
    bool present_ = false;
    bool waitedPresent_ = false;  // presence when WaitForEvent last returned
    bool unplugged_ = false;      // the reader answers as a device that is gone
    bool waitedUnplugged_ = false;
    int delayMs_ = 0;             // each APDU takes this long
    bool stopWaiting_ = false;
    bool powered_ = false;
    bool eventWait_ = true;
    bool atrAttribute_ = true;      // the ATR offered as SCARD_ATTR_ATR_STRING
    bool configuring_ = false;      // INSERT and REMOVE only note the wish
    bool configuredPresent_ = false;
    DWORD protocol_ = 0;
    DWORD lastCode_ = 0;
    Bytes lastControl_;
    Bytes lastApdu_;
    unsigned controls_ = 0;
    unsigned apdus_ = 0;
};

} // namespace simreader
