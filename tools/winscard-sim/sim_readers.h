// The simulated readers inside winscard.dll: the portable reader model of
// tools/simreader, one per line of the settings directory's "readers" file,
// each with a control channel on a loopback TCP port (written to
// readerN.port) that speaks the same line protocol as the Linux driver's.
//
// The settings directory is VELMORA_SIMREADER_DIR, or else the dll's own
// directory; in it, readerN.conf holds reader N's start settings.
#pragma once

#include "reader.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace winscardsim {

constexpr size_t kMaxReaders = 8;

struct SimReader {
    std::unique_ptr<simreader::Reader> model;
    std::string name;        // as listed: "NAME NN 00", as pcsc-lite names readers
    bool present = false;    // as the watcher last saw it
    bool available = true;   // false while the reader is unplugged
    uint32_t changes = 0;    // presence changes seen; the state word's upper half
    uint32_t poweredAt = 0;  // changes at the last power-up, when powered
    bool powered = false;
};

// Everything below is guarded by Lock(); the wake-up is notified whenever a
// reader's presence changes or a wait is to be cancelled.
std::mutex& Lock();
std::condition_variable& WakeUp();

// Loads the readers and starts their watchers and control channels once;
// later calls return at once. False if no reader could be set up.
bool StartReaders();

size_t ReaderCount();
SimReader* ReaderAt(size_t index);
SimReader* ReaderByName(const char* name);

} // namespace winscardsim
