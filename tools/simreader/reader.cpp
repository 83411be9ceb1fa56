#include "reader.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace simreader {
namespace {

constexpr uint8_t kFeatureVerifyPinStart = 0x01;
constexpr uint8_t kFeatureVerifyPinFinish = 0x02;
constexpr uint8_t kFeatureGetKeyPressed = 0x05;
constexpr uint8_t kFeatureAbort = 0x0B;
constexpr uint8_t kFeatureEscape = 0x13;
constexpr size_t kAtrMin = 2;

// One 6-byte entry: tag, length 4, the code big-endian.
void AppendFeature(Bytes* out, uint8_t tag, DWORD code) {
    out->push_back(tag);
    out->push_back(4);
    for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<uint8_t>(code >> shift));
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// "ON" or "OFF" into *value; false for anything else.
bool OnOff(const std::string& args, bool* value) {
    std::string word = Upper(args);
    if (word != "ON" && word != "OFF") return false;
    *value = word == "ON";
    return true;
}

const char* ProtocolName(DWORD protocol) {
    if (protocol == kProtocolT0) return "T0";
    if (protocol == kProtocolT1) return "T1";
    return "none";
}

bool ProtocolsByName(const std::string& name, uint32_t* protocols) {
    std::string word = Upper(name);
    if (word == "T0") *protocols = kProtocolT0;
    else if (word == "T1") *protocols = kProtocolT1;
    else if (word == "BOTH") *protocols = kProtocolT0 | kProtocolT1;
    else return false;
    return true;
}

bool ParseAtr(const std::string& hex, Bytes* atr) {
    return FromHex(hex, atr) && atr->size() >= kAtrMin && atr->size() <= MAX_ATR_SIZE;
}

RESPONSECODE CopyOut(const Bytes& value, PUCHAR out, PDWORD length) {
    if (value.size() > *length) {
        *length = static_cast<DWORD>(value.size());
        return IFD_ERROR_INSUFFICIENT_BUFFER;
    }
    std::copy(value.begin(), value.end(), out);
    *length = static_cast<DWORD>(value.size());
    return IFD_SUCCESS;
}

std::string BaseName(const std::string& deviceName) {
    const std::string suffix = ".conf";
    bool hasSuffix = deviceName.size() > suffix.size() &&
                     deviceName.compare(deviceName.size() - suffix.size(), suffix.size(), suffix) == 0;
    return hasSuffix ? deviceName.substr(0, deviceName.size() - suffix.size()) : deviceName;
}

bool IsReaderPinPadCode(DWORD code) {
    return code == kCtlVerifyPinStart || code == kCtlVerifyPinFinish || code == kCtlGetKeyPressed ||
           code == kCtlAbort;
}

} // namespace

Reader::Reader(const std::string& deviceName) : base_(BaseName(deviceName)) { Defaults(); }

void Reader::Defaults() {
    card_ = Card();
    pinPad_ = PinPad();
    attributes_ = {
        {kAttrVendorName, Text("Velmora Sim")},
        {kAttrIfdType, Text("SimReader")},
        {kAttrIfdVersion, Bytes{0x00, 0x00, 0x01, 0x01}},
        {kAttrIfdSerial, Text("SIM-0001")},
    };
    eventWait_ = true;
    atrAttribute_ = true;
    lastCode_ = 0;
    lastControl_.clear();
    lastApdu_.clear();
    controls_ = 0;
    apdus_ = 0;
}

bool Reader::Configure(std::string* error) {
    Lock lock(mutex_);
    return ConfigureLocked(error);
}

bool Reader::ConfigureLocked(std::string* error) {
    Defaults();
    configuring_ = true;
    configuredPresent_ = false;
    std::ifstream file(base_ + ".conf");
    std::string line;
    bool ok = true;
    while (ok && std::getline(file, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::string reply = Run(line);
        ok = reply.rfind("OK", 0) == 0;
        if (!ok) *error = line + ": " + reply;
    }
    configuring_ = false;
    SetPresent(configuredPresent_);
    return ok;
}

bool Reader::EventWait() {
    Lock lock(mutex_);
    return eventWait_;
}

std::string Reader::Command(const std::string& line) {
    Lock lock(mutex_);
    return Run(line);
}

std::string Reader::Run(const std::string& line) {
    size_t blank = line.find(' ');
    std::string keyword = Upper(line.substr(0, blank));
    std::string args = blank == std::string::npos ? "" : line.substr(blank + 1);
    args.erase(0, args.find_first_not_of(' '));
    return Dispatch(keyword, args);
}

std::string Reader::Dispatch(const std::string& keyword, const std::string& args) {
    using Handler = std::string (Reader::*)(const std::string&);
    static const std::pair<const char*, Handler> kHandlers[] = {
        {"PING", &Reader::CmdPing},       {"STATUS", &Reader::CmdStatus},
        {"INSERT", &Reader::CmdInsert},   {"REMOVE", &Reader::CmdRemove},
        {"CARD", &Reader::CmdCard},       {"ATR", &Reader::CmdAtr},
        {"PIN", &Reader::CmdPin},         {"PINPAD", &Reader::CmdPinPad},
        {"KEYS", &Reader::CmdKeys},       {"ATTR", &Reader::CmdAttr},
        {"VENDOR", &Reader::CmdVendor},   {"NOTIFY", &Reader::CmdNotify},
        {"LASTCONTROL", &Reader::CmdLastControl}, {"LASTAPDU", &Reader::CmdLastApdu},
        {"RESET", &Reader::CmdReset},     {"UNPLUG", &Reader::CmdUnplug},
        {"PLUG", &Reader::CmdPlug},       {"DELAY", &Reader::CmdDelay},
        {"ATRATTR", &Reader::CmdAtrAttr}, {"PINBLOCK", &Reader::CmdPinBlock},
    };
    for (const auto& [name, handler] : kHandlers) {
        if (keyword == name) return (this->*handler)(args);
    }
    return "ERR unknown command " + keyword;
}

std::string Reader::CmdPing(const std::string&) { return "OK"; }

std::string Reader::CmdUnplug(const std::string&) {
    unplugged_ = true;
    powered_ = false;
    changed_.notify_all();
    return "OK";
}

std::string Reader::CmdPlug(const std::string&) {
    unplugged_ = false;
    changed_.notify_all();
    return "OK";
}

std::string Reader::CmdDelay(const std::string& args) {
    int ms = std::atoi(args.c_str());
    if (ms < 0 || ms > 60000) return "ERR DELAY takes 0 to 60000 ms";
    delayMs_ = ms;
    return "OK";
}

std::string Reader::CmdInsert(const std::string& args) {
    if (!args.empty() && !ParseAtr(args, &card_.atr)) return "ERR INSERT takes an ATR of 2 to 33 bytes in hex";
    WantPresent(true);
    return "OK";
}

std::string Reader::CmdRemove(const std::string&) {
    WantPresent(false);
    return "OK";
}

std::string Reader::CmdCard(const std::string& args) {
    uint32_t protocols = 0;
    if (!ProtocolsByName(args, &protocols)) return "ERR CARD takes T0, T1 or BOTH";
    card_.atr = DefaultAtr(protocols);
    return "OK " + ToHex(card_.atr);
}

std::string Reader::CmdAtr(const std::string& args) {
    return ParseAtr(args, &card_.atr) ? "OK" : "ERR ATR takes 2 to 33 bytes in hex";
}

std::string Reader::CmdPin(const std::string& args) {
    std::istringstream in(args);
    std::string pin;
    int tries = kPinTriesDefault;
    in >> pin;
    if (!(in >> tries)) tries = kPinTriesDefault;
    if (pin.empty() || tries < 1 || tries > 15) return "ERR PIN takes a PIN and 1 to 15 tries";
    card_.SetPin(pin, tries);
    return "OK";
}

std::string Reader::CmdPinPad(const std::string& args) {
    bool on = false;
    if (!OnOff(args, &on)) return "ERR PINPAD takes ON or OFF";
    pinPad_.enabled = on;
    if (!on) pinPad_.Clear();
    return "OK";
}

std::string Reader::CmdKeys(const std::string& args) {
    if (!pinPad_.Feed(args)) return "ERR KEYS takes digits, OK, CANCEL, BACK, TIMEOUT";
    return "OK " + std::to_string(pinPad_.Queued());
}

std::string Reader::CmdAttr(const std::string& args) {
    std::istringstream in(args);
    std::string tagText;
    std::string hex;
    in >> tagText;
    std::getline(in, hex);
    char* end = nullptr;
    unsigned long tag = std::strtoul(tagText.c_str(), &end, 16);
    Bytes value;
    if (tagText.empty() || *end != '\0' || !FromHex(hex, &value)) return "ERR ATTR takes a hex tag and hex bytes";
    if (value.empty()) {
        attributes_.erase(static_cast<DWORD>(tag));
    } else {
        attributes_[static_cast<DWORD>(tag)] = value;
    }
    return "OK";
}

std::string Reader::CmdVendor(const std::string& args) {
    attributes_[kAttrVendorName] = Text(args);
    return "OK";
}

// Reader drivers need not offer the ATR as an attribute; pcscd itself
// still gets it at power-up.
std::string Reader::CmdAtrAttr(const std::string& args) {
    return OnOff(args, &atrAttribute_) ? "OK" : "ERR ATRATTR takes ON or OFF";
}

std::string Reader::CmdPinBlock(const std::string& args) {
    return PinBlockByName(Upper(args), &card_.pinBlock) ? "OK" : "ERR PINBLOCK takes ANY, ASCII8 or ISO2";
}

std::string Reader::CmdNotify(const std::string& args) {
    return OnOff(args, &eventWait_) ? "OK" : "ERR NOTIFY takes ON or OFF";
}

std::string Reader::CmdLastControl(const std::string&) {
    if (controls_ == 0) return "OK NONE";
    char code[16];
    std::snprintf(code, sizeof code, "%08lX", static_cast<unsigned long>(lastCode_));
    return std::string("OK ") + code + " " + (lastControl_.empty() ? "-" : ToHex(lastControl_));
}

std::string Reader::CmdLastApdu(const std::string&) {
    return apdus_ == 0 ? "OK NONE" : "OK " + ToHex(lastApdu_);
}

std::string Reader::CmdReset(const std::string&) {
    std::string error;
    return ConfigureLocked(&error) ? "OK" : "ERR " + error;
}

void Reader::WantPresent(bool present) {
    if (configuring_) {
        configuredPresent_ = present;
    } else {
        SetPresent(present);
    }
}

std::string Reader::CmdStatus(const std::string&) {
    std::ostringstream out;
    out << "OK present=" << present_ << " powered=" << powered_ << " protocol=" << ProtocolName(protocol_)
        << " atr=" << ToHex(card_.atr) << " pinpad=" << (pinPad_.enabled ? "on" : "off")
        << " tries=" << card_.TriesLeft() << " verified=" << card_.Verified() << " keys=" << pinPad_.Queued() << " controls=" << controls_
        << " apdus=" << apdus_;
    return out.str();
}

void Reader::SetPresent(bool present) {
    if (present == present_) return;
    present_ = present;
    if (!present) {
        powered_ = false;
        protocol_ = 0;
        card_.Reset();
        pinPad_.Abort();
    }
    changed_.notify_all();
}

RESPONSECODE Reader::Presence() {
    Lock lock(mutex_);
    if (unplugged_) return IFD_NO_SUCH_DEVICE;
    return present_ ? IFD_ICC_PRESENT : IFD_ICC_NOT_PRESENT;
}

RESPONSECODE Reader::Power(DWORD action, PUCHAR atr, PDWORD atrLength) {
    Lock lock(mutex_);
    card_.Reset();
    protocol_ = 0;
    if (action == IFD_POWER_DOWN) {
        powered_ = false;
        *atrLength = 0;
        return IFD_SUCCESS;
    }
    if (action != IFD_POWER_UP && action != IFD_RESET) return IFD_NOT_SUPPORTED;
    if (!present_) {
        *atrLength = 0;
        return IFD_ERROR_POWER_ACTION;
    }
    powered_ = true;
    return CopyOut(card_.atr, atr, atrLength);
}

RESPONSECODE Reader::SetProtocol(DWORD protocol) {
    Lock lock(mutex_);
    if (!present_) return IFD_ICC_NOT_PRESENT;
    if ((AtrProtocols(card_.atr) & protocol) == 0 || (protocol != kProtocolT0 && protocol != kProtocolT1)) {
        return IFD_PROTOCOL_NOT_SUPPORTED;
    }
    protocol_ = protocol;
    return IFD_SUCCESS;
}

RESPONSECODE Reader::Transmit(const Bytes& command, PUCHAR rx, PDWORD rxLength) {
    Lock lock(mutex_);
    if (delayMs_ > 0) {
        // A slow card: the control channel may take the card away meanwhile.
        int delay = delayMs_;
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        lock.lock();
    }
    if (unplugged_) {
        *rxLength = 0;
        return IFD_NO_SUCH_DEVICE;
    }
    lastApdu_ = command;
    ++apdus_;
    if (!present_ || !powered_) {
        *rxLength = 0;
        return present_ ? IFD_COMMUNICATION_ERROR : IFD_ICC_NOT_PRESENT;
    }
    RESPONSECODE rc = CopyOut(card_.Process(command), rx, rxLength);
    if (rc != IFD_SUCCESS) *rxLength = 0;
    return rc;
}

Bytes Reader::FeatureAnswer() const {
    Bytes answer;
    if (pinPad_.enabled) {
        AppendFeature(&answer, kFeatureVerifyPinStart, kCtlVerifyPinStart);
        AppendFeature(&answer, kFeatureVerifyPinFinish, kCtlVerifyPinFinish);
        AppendFeature(&answer, kFeatureGetKeyPressed, kCtlGetKeyPressed);
        AppendFeature(&answer, kFeatureAbort, kCtlAbort);
    }
    AppendFeature(&answer, kFeatureEscape, kCtlEscape);
    return answer;
}

RESPONSECODE Reader::FinishEntry(Bytes* out) {
    Bytes apdu;
    uint16_t sw = 0;
    switch (pinPad_.Finish(&apdu, &sw)) {
    case PinPad::Outcome::NoEntry: return IFD_COMMUNICATION_ERROR;
    case PinPad::Outcome::Status: AppendSw(out, sw); return IFD_SUCCESS;
    case PinPad::Outcome::Apdu: break;
    }
    if (!present_ || !powered_) return IFD_ICC_NOT_PRESENT;
    lastApdu_ = apdu;
    ++apdus_;
    *out = card_.Process(apdu);
    return IFD_SUCCESS;
}

RESPONSECODE Reader::PinPadControl(DWORD code, const Bytes& in, Bytes* out) {
    switch (code) {
    case kCtlVerifyPinStart:
        if (!present_) return IFD_ICC_NOT_PRESENT;
        return pinPad_.Start(in) ? IFD_SUCCESS : IFD_NOT_SUPPORTED;
    case kCtlGetKeyPressed: out->push_back(pinPad_.NextKey()); return IFD_SUCCESS;
    case kCtlVerifyPinFinish: return FinishEntry(out);
    default: pinPad_.Abort(); return IFD_SUCCESS;
    }
}

RESPONSECODE Reader::Control(DWORD code, const Bytes& in, PUCHAR rx, DWORD rxLength, LPDWORD returned) {
    Lock lock(mutex_);
    *returned = 0;
    lastCode_ = code;
    lastControl_ = in;
    ++controls_;
    Bytes out = in;  // any other code: the answer is the input
    if (code == kCtlFeatureRequest) {
        out = FeatureAnswer();
    } else if (pinPad_.enabled && IsReaderPinPadCode(code)) {
        out.clear();
        RESPONSECODE rc = PinPadControl(code, in, &out);
        if (rc != IFD_SUCCESS) return rc;
    }
    RESPONSECODE rc = CopyOut(out, rx, &rxLength);
    if (rc == IFD_SUCCESS) *returned = rxLength;
    return rc;
}

RESPONSECODE Reader::Attribute(DWORD tag, PDWORD length, PUCHAR value) {
    Lock lock(mutex_);
    if (tag == TAG_IFD_ATR || tag == kAttrAtrString) {
        if (!present_ || (tag == kAttrAtrString && !atrAttribute_)) return IFD_ERROR_TAG;
        return CopyOut(card_.atr, value, length);
    }
    auto found = attributes_.find(tag);
    if (found == attributes_.end()) return IFD_ERROR_TAG;
    return CopyOut(found->second, value, length);
}

bool Reader::WaitForEvent(int timeoutMs) {
    Lock lock(mutex_);
    auto due = std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
    // Against the presence at the last return, not a change counter: a card
    // that came between pcscd's look and this call is reported at once.
    bool woken = changed_.wait_for(lock, due, [this] {
        return present_ != waitedPresent_ || unplugged_ != waitedUnplugged_ || stopWaiting_;
    });
    waitedPresent_ = present_;
    waitedUnplugged_ = unplugged_;
    // pcscd stops a wait only to start the next one: a stop left standing
    // would end every later wait at once and spin its thread.
    stopWaiting_ = false;
    return woken;
}

void Reader::StopWaiting() {
    Lock lock(mutex_);
    stopWaiting_ = true;
    changed_.notify_all();
}

} // namespace simreader
