#include "sim_readers.h"

#include "control_server_win.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace winscardsim {
namespace {

SimReader g_readers[kMaxReaders];
size_t g_count = 0;
ControlServer g_controls[kMaxReaders];
INIT_ONCE g_once = INIT_ONCE_STATIC_INIT;

std::string ModuleDirectory() {
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&ModuleDirectory), &module);
    char path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameA(module, path, sizeof path);
    std::string directory(path, length < sizeof path ? length : 0);
    size_t slash = directory.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".") : directory.substr(0, slash);
}

std::string SettingsDirectory() {
    const char* configured = std::getenv("VELMORA_SIMREADER_DIR");
    return configured != nullptr && *configured != '\0' ? std::string(configured) : ModuleDirectory();
}

// Follows the reader's presence so that status waits need not poll.
void Watch(SimReader* reader) {
    for (;;) {
        reader->model->WaitForEvent(500);
        RESPONSECODE presence = reader->model->Presence();
        bool present = presence == IFD_ICC_PRESENT;
        bool available = presence != IFD_NO_SUCH_DEVICE;
        std::lock_guard<std::mutex> lock(Lock());
        if (present == reader->present && available == reader->available) continue;
        reader->present = present;
        reader->available = available;
        ++reader->changes;
        reader->powered = false;
        WakeUp().notify_all();
    }
}

bool Load(const std::string& directory, const std::string& friendlyName, size_t index) {
    char base[32];
    std::snprintf(base, sizeof base, "\\reader%u", static_cast<unsigned>(index));
    SimReader& reader = g_readers[index];
    reader.model = std::make_unique<simreader::Reader>(directory + base + ".conf");
    std::string error;
    if (!reader.model->Configure(&error)) {
        std::fprintf(stderr, "winscard-sim: reader %u: %s\n", static_cast<unsigned>(index), error.c_str());
        return false;
    }
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, " %02u 00", static_cast<unsigned>(index));
    reader.name = friendlyName + suffix;
    RESPONSECODE presence = reader.model->Presence();
    reader.present = presence == IFD_ICC_PRESENT;
    reader.available = presence != IFD_NO_SUCH_DEVICE;
    if (!g_controls[index].Start(directory + base + ".port", reader.model.get())) {
        std::fprintf(stderr, "winscard-sim: reader %u: no control port\n", static_cast<unsigned>(index));
        return false;
    }
    std::thread(Watch, &reader).detach();
    return true;
}

BOOL CALLBACK StartOnce(PINIT_ONCE, PVOID, PVOID*) {
    std::string directory = SettingsDirectory();
    std::ifstream list(directory + "\\readers");
    std::string name;
    while (g_count < kMaxReaders && std::getline(list, name)) {
        if (!name.empty() && name.back() == '\r') name.pop_back();
        if (name.empty()) continue;
        if (!Load(directory, name, g_count)) break;
        ++g_count;
    }
    return TRUE;
}

} // namespace

std::mutex& Lock() {
    static std::mutex mutex;
    return mutex;
}

std::condition_variable& WakeUp() {
    static std::condition_variable wakeUp;
    return wakeUp;
}

bool StartReaders() {
    InitOnceExecuteOnce(&g_once, StartOnce, nullptr, nullptr);
    return g_count > 0;
}

size_t ReaderCount() { return g_count; }

SimReader* ReaderAt(size_t index) { return index < g_count ? &g_readers[index] : nullptr; }

SimReader* ReaderByName(const char* name) {
    if (name == nullptr) return nullptr;
    for (size_t i = 0; i < g_count; ++i) {
        if (g_readers[i].name == name) return &g_readers[i];
    }
    return nullptr;
}

} // namespace winscardsim
