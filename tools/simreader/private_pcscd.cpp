#include "private_pcscd.h"

#include "control_client.h"

#include <PCSC/winscard.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace simreader {
namespace {

using Clock = std::chrono::steady_clock;
// Bounds for a broken environment, not for timing: a healthy start takes a
// fraction of a second.
constexpr auto kStartLimit = std::chrono::seconds(30);
constexpr auto kStopLimit = std::chrono::seconds(10);
constexpr auto kRetryPause = std::chrono::milliseconds(10);

std::vector<std::string> SplitMulti(const char* list, DWORD length) {
    std::vector<std::string> names;
    for (DWORD at = 0; at < length && list[at] != '\0';) {
        names.emplace_back(list + at);
        at += static_cast<DWORD>(names.back().size()) + 1;
    }
    return names;
}

std::vector<std::string> ListReaders() {
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) return {};
    char list[4096];
    DWORD length = sizeof list;
    std::vector<std::string> names;
    if (SCardListReaders(context, nullptr, list, &length) == SCARD_S_SUCCESS) names = SplitMulti(list, length);
    SCardReleaseContext(context);
    return names;
}

// The names the script gave the readers, in reader order.
std::vector<std::string> ConfiguredNames(const std::string& dir) {
    std::ifstream file(dir + "/readers");
    std::vector<std::string> names;
    std::string line;
    while (std::getline(file, line)) names.push_back(line);
    return names;
}

bool MatchNames(const std::vector<std::string>& configured, const std::vector<std::string>& listed,
                std::vector<std::string>* names) {
    names->clear();
    for (const std::string& name : configured) {
        for (const std::string& candidate : listed) {
            if (candidate.rfind(name + " ", 0) == 0) names->push_back(candidate);
        }
    }
    return !configured.empty() && names->size() == configured.size();
}

} // namespace

bool PrivatePcscd::Start(const std::vector<std::string>& specs, std::string* error) {
    char pattern[] = "/tmp/velmora-pcscd.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        *error = "cannot make a directory in /tmp";
        return false;
    }
    dir_ = pattern;
    setenv("PCSCLITE_CSOCK_NAME", (dir_ + "/run/pcscd.comm").c_str(), 1);
    if (!Spawn(specs, error)) return false;
    return WaitReady(specs.size(), error);
}

bool PrivatePcscd::Spawn(const std::vector<std::string>& specs, std::string* error) {
    std::vector<std::string> args{SIMREADER_SCRIPT, "run", "-d", dir_, "--driver", SIMREADER_DRIVER};
    for (const std::string& spec : specs) {
        args.push_back("--reader");
        args.push_back(spec);
    }
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (dir_ + "/pcscd.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        pid_ = -1;
        *error = "cannot run " + args[0];
    }
    return rc == 0;
}

bool PrivatePcscd::Exited() {
    int status = 0;
    if (pid_ < 0 || waitpid(pid_, &status, WNOHANG) != pid_) return pid_ < 0;
    pid_ = -1;
    return true;
}

bool PrivatePcscd::WaitReady(size_t count, std::string* error) {
    const auto deadline = Clock::now() + kStartLimit;
    while (Clock::now() < deadline) {
        if (Exited()) {
            *error = "pcscd ended during start:\n" + Log();
            return false;
        }
        if (ConfiguredNames(dir_).size() == count && MatchNames(ConfiguredNames(dir_), ListReaders(), &names_)) {
            return true;
        }
        std::this_thread::sleep_for(kRetryPause);
    }
    *error = "pcscd did not list its readers:\n" + Log();
    return false;
}

void PrivatePcscd::Stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        const auto deadline = Clock::now() + kStopLimit;
        while (!Exited() && Clock::now() < deadline) std::this_thread::sleep_for(kRetryPause);
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        dir_.clear();
    }
    names_.clear();
}

std::string PrivatePcscd::ControlSocket(size_t index) const {
    return dir_ + "/reader" + std::to_string(index) + ".sock";
}

std::string PrivatePcscd::Command(size_t index, const std::string& line) const {
    return SendCommand(ControlSocket(index), line);
}

std::string PrivatePcscd::Log() const {
    std::ifstream file(dir_ + "/pcscd.log");
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

} // namespace simreader
