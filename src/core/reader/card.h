// The card access state: the process-wide PC/SC state through which every
// other part of the client reaches the local reader. User-interface thread only.
#pragma once

#include "reader/pcsc.h"

#include <cstddef>
#include <cstdint>

namespace velmora {

struct FeatureTable {
    uint32_t verifyPinStart;
    uint32_t verifyPinFinish;
    uint32_t getKeyPressed;
    uint32_t abort;
};

constexpr size_t kReaderNameSize = 100;  // 99 characters and the terminator
constexpr size_t kFeatureAnswerSize = 100;
constexpr uint32_t kProtocolNone = 0;

struct CardAccessState {
    SCARDCONTEXT context;
    char readerName[kReaderNameSize];
    // szReader points at readerName while a reader is open; the current
    // state word is nonzero exactly then.
    SCARD_READERSTATEA readerState;
    SCARDHANDLE card;
    uint32_t activeProtocol;  // SCARD_PROTOCOL_T0/T1, 0 for none or direct
    FeatureTable features;
};

extern CardAccessState g_card;

inline bool ReaderOpen() { return g_card.readerState.dwCurrentState != 0; }
inline bool CardPresent() { return (g_card.readerState.dwCurrentState & SCARD_STATE_PRESENT) != 0; }
inline bool DirectConnection() { return g_card.card != 0 && g_card.activeProtocol == kProtocolNone; }

// Connects to the card in the selected reader (shared, T=0 or T=1) or, when
// allowDirect and no card is present, directly to the reader, then learns
// the reader's PIN-pad features. Only while no handle is held. The caller
// looks at g_card.card afterwards.
void ConnectCard(bool allowDirect);

// Resets (SCARD_RESET_CARD) or power-cycles (SCARD_UNPOWER_CARD) the card
// under the held connection, connecting first when none is held, and keeps
// the protocol the card then speaks. SCARD_E_NO_SMARTCARD when no card.
LONG ReconnectCard(DWORD initialization);

// Ends the card or direct connection; the feature table stays.
void DisconnectCard();

// Ends the connection when status says the card was removed or reset since
// it was made: such a handle fails every later call the same way.
void DisconnectCardAfter(LONG status);

// Reads a feature request answer into table: whole 6-byte entries only, a
// later tag overrides an earlier one, and the three PIN-verify codes are
// kept only as a complete set.
void ParseFeatureAnswer(const uint8_t* answer, size_t length, FeatureTable* table);

} // namespace velmora
