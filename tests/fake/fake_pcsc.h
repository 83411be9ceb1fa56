// An in-process PC/SC for unit tests, linked in place of the platform
// library: the code under test calls the standard API names unchanged.
// Readers, cards, scripted answers and injected failures are set up here.
#pragma once

#include "reader/pcsc.h"

#include <cstddef>
#include <cstdint>

namespace fakepcsc {

constexpr size_t kMaxAnswer = 1200;  // room to exceed the client's 1000-byte buffers

struct Failures {
    LONG establish;       // SCardEstablishContext
    LONG listReaders;     // SCardListReaders
    LONG sharedConnect;   // SCardConnect, shared
    LONG directConnect;   // SCardConnect, direct
    LONG transmit;        // SCardTransmit
    LONG control;         // SCardControl, other than the feature request
    LONG featureRequest;  // SCardControl, the feature request
    LONG getAttrib;       // SCardGetAttrib
    LONG status;          // SCardStatus
    LONG statusChange;    // SCardGetStatusChange
    LONG reconnect;       // SCardReconnect
};

struct Calls {
    int establish;
    int release;
    int sharedConnects;
    int directConnects;
    int disconnects;
    int transmits;
    int controls;        // control codes other than the feature request
    int featureRequests;
    int getAttribs;
    int statuses;
    int statusChanges;
    int openHandles;
    DWORD lastPciProtocol;
    DWORD lastControlCode;
    DWORD lastAttribRequest;  // in-length of the last SCardGetAttrib
    uint8_t lastSent[kMaxAnswer];
    size_t lastSentLength;
    char lastConnectReader[128];
    int reconnects;
    DWORD lastReconnectInit;  // SCARD_RESET_CARD, SCARD_UNPOWER_CARD ...
};

// Forgets every reader, answer, failure and count.
void Reset();

// Adds a reader; returns its index.
int AddReader(const char* name);
void InsertCard(int reader, DWORD protocols, const uint8_t* atr = nullptr, size_t atrLength = 0);
void RemoveCard(int reader);

// What SCardTransmit answers, whatever is sent.
void SetTransmitAnswer(const uint8_t* data, size_t length);
// What SCardControl answers for codes other than the feature request.
void SetControlAnswer(const uint8_t* data, size_t length);
// The reader's answer to the feature request; a length above the caller's
// buffer is reported as returned anyway, as a careless driver would.
void SetFeatureAnswer(const uint8_t* data, size_t length);
// An attribute of the reader; at most 8 are kept.
void SetAttribute(DWORD id, const uint8_t* data, size_t length);
// Behaves like pcsc-lite's client, which refuses attribute requests above
// its own buffer size before asking the driver.
void SetAttribRequestLimit(DWORD limit);

// SCardCancel answers success but wakes no wait, as a stuck resource
// manager would.
void IgnoreCancel(bool ignore);
// SCardGetStatusChange calls so far, read safely while monitors run.
int StatusWaits();

// The resource manager restarts: every context and card handle from before
// is dead (SCARD_E_INVALID_HANDLE), and waits on them end.
void RestartService();

Failures& Fail();
const Calls& Seen();

} // namespace fakepcsc
