// A private pcscd with simulated readers, owned by this process: started
// through `scripts/pcscd-private.sh run`, so its process id is the child's
// and it is reaped here. For tests and measurements.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace simreader {

class PrivatePcscd {
public:
    PrivatePcscd() = default;
    PrivatePcscd(const PrivatePcscd&) = delete;
    PrivatePcscd& operator=(const PrivatePcscd&) = delete;
    ~PrivatePcscd() { Stop(); }

    // One reader per spec (the script's --reader syntax, e.g. "card=t1,pinpad=on").
    // Makes a fresh directory, starts pcscd on it, points this process's
    // PC/SC client at it and waits until pcscd lists every reader. Must come
    // before this process's first PC/SC call: the client library reads
    // PCSCLITE_CSOCK_NAME once. False with the reason in *error.
    bool Start(const std::vector<std::string>& specs, std::string* error);

    // Ends pcscd by its process id, reaps it and removes the directory.
    void Stop();

    // The name pcscd gives reader `index` (its configured name and slot numbers).
    const std::string& ReaderName(size_t index) const { return names_.at(index); }
    std::string ControlSocket(size_t index) const;
    // One control command to reader `index`; its reply line.
    std::string Command(size_t index, const std::string& line) const;
    std::string Log() const;

private:
    bool Spawn(const std::vector<std::string>& specs, std::string* error);
    bool WaitReady(size_t count, std::string* error);
    bool Exited();

    std::string dir_;
    pid_t pid_ = -1;
    std::vector<std::string> names_;
};

} // namespace simreader
