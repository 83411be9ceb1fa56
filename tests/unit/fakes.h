// Fake network and shell for the link, dialog and monitor tests.
#pragma once

#include "app/client.h"
#include "link/link.h"
#include "pinpad/pin_dialog.h"
#include "reader/monitor.h"
#include "ui/pin_view.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

class FakeNetwork : public velmora::Network {
public:
    std::vector<std::string> calls;
    bool lookupStarts = true;
    velmora::ConnectStart connectStart = velmora::ConnectStart::Pending;
    unsigned long connectError = 0;
    uint32_t connectAddress = 0;
    uint16_t connectPort = 0;
    std::deque<std::string> incoming;  // each entry is what one read returns
    std::string sent;
    bool sendFails = false;
    bool peerEnded = false;  // the server's close waits behind the incoming reads
    int closes = 0;
    std::vector<velmora::KeepaliveTimers> keepalives;  // one per connection made

    bool StartLookupByName(const char* host) override {
        calls.push_back(std::string("name ") + host);
        return lookupStarts;
    }
    bool StartLookupByAddress(uint32_t) override {
        calls.emplace_back("address");
        return lookupStarts;
    }
    velmora::ConnectStart StartConnect(uint32_t address, uint16_t port,
                                       unsigned long* error) override {
        connectAddress = address;
        connectPort = port;
        *error = connectError;
        return connectStart;
    }
    long Receive(char* buffer, size_t size, unsigned long*) override {
        if (incoming.empty()) return 0;
        std::string& next = incoming.front();
        size_t n = std::min(size, next.size());
        std::memcpy(buffer, next.data(), n);
        next.erase(0, n);
        if (next.empty()) incoming.pop_front();
        return static_cast<long>(n);
    }
    bool Send(const char* data, size_t length, unsigned long* error) override {
        if (sendFails) {
            *error = velmora::kSocketConnectionReset;
            return false;
        }
        sent.append(data, length);
        return true;
    }
    void Close() override { ++closes; }
    bool PeerHasEnded() override { return peerEnded && incoming.empty(); }
    void StartKeepalive(const velmora::KeepaliveTimers& timers) override { keepalives.push_back(timers); }
};

// A PIN entry dialog over a fixed buffer (the heap test counts allocations).
// It notifies the core as a platform's widgets would; the user's actions are
// the methods below.
class FakePinView : public velmora::PinDialogView {
public:
    char text[64] = {};
    bool readOnly = false;
    bool okEnabled = true;
    bool focused = false;
    bool inFront = false;
    bool destroyed = false;
    int writes = 0;
    bool notifiesWrites = true;  // some toolkits stay silent when the text is the same
    bool readFillsBuffer = false;  // a careless read: size bytes, no terminator

    size_t PinTextLength() override { return std::strlen(text); }
    void ReadPinText(char* out, size_t size) override {
        if (readFillsBuffer) {
            std::memset(out, '7', size);
            return;
        }
        std::snprintf(out, size, "%s", text);
    }
    void WritePinText(const char* value) override {
        std::snprintf(text, sizeof text, "%s", value);
        ++writes;
        if (notifiesWrites) velmora::PinDialogTextChanged(this);
    }
    void SetPinReadOnly(bool value) override { readOnly = value; }
    void EnableOk(bool value) override { okEnabled = value; }
    void FocusPin() override { focused = true; }
    void BringToFront() override { inFront = true; }
    void Destroy() override {
        destroyed = true;
        velmora::PinDialogDestroyed(this);
    }

    void Type(const char* digits) {
        for (const char* d = digits; *d != '\0'; ++d) {
            size_t n = std::strlen(text);
            if (readOnly || n + 1 >= sizeof text) return;
            text[n] = *d;
            text[n + 1] = '\0';
            velmora::PinDialogTextChanged(this);
        }
    }
    void Backspace() {
        size_t n = std::strlen(text);
        if (readOnly || n == 0) return;
        text[n - 1] = '\0';
        velmora::PinDialogTextChanged(this);
    }
    void Clear() {
        if (readOnly) return;
        text[0] = '\0';
        velmora::PinDialogTextChanged(this);
    }
    void PressOk() {
        if (okEnabled) velmora::PinDialogOk(this);
    }
    void PressClose() { velmora::PinDialogClose(this); }
};

// Card events cross threads here exactly as the shells' queued calls do.
class FakeShell : public velmora::Shell {
public:
    int pinDialogsDestroyed = 0;
    // PIN entry dialogs handed out in turn; a new one starts fresh.
    FakePinView pinViews[4];
    int pinDialogsCreated = 0;
    bool pinDialogFails = false;
    velmora::ConnectionDialogView* pinOwner = nullptr;

    void PostCardEvent(const velmora::CardEvent& event) override {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(event);
        arrived_.notify_all();
    }
    void DestroyPinDialog() override {
        ++pinDialogsDestroyed;
        velmora::ClosePinDialog();
    }
    velmora::PinDialogView* CreatePinDialog(velmora::ConnectionDialogView* owner) override {
        if (pinDialogFails) return nullptr;
        pinOwner = owner;
        FakePinView* view = &pinViews[pinDialogsCreated++ % 4];
        *view = FakePinView{};
        return view;
    }
    // The most recently created PIN entry dialog.
    FakePinView& PinView() { return pinViews[(pinDialogsCreated + 3) % 4]; }

    // Waits for a posted event; false if none came within the limit (a
    // safety net against a hung test, not a timing assertion).
    bool WaitForEvent(velmora::CardEvent* event) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!arrived_.wait_for(lock, std::chrono::seconds(10), [this] { return !events_.empty(); })) {
            return false;
        }
        *event = events_.front();
        events_.pop_front();
        return true;
    }
    // Delivers every queued event on this (the user-interface) thread.
    int Deliver() {
        int count = 0;
        for (;;) {
            velmora::CardEvent event{};
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (events_.empty()) return count;
                event = events_.front();
                events_.pop_front();
            }
            velmora::HandleCardEvent(event);
            ++count;
        }
    }
    size_t Pending() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_.size();
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<velmora::CardEvent> events_;
};
