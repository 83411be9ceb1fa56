// The control channel of one simulated reader on Windows: a loopback TCP
// port served by its own thread, one command line in, one reply line out,
// any number of clients. The port goes into a file for the tests to read.
#pragma once

#include <string>

namespace simreader {
class Reader;
}

namespace winscardsim {

class ControlServer {
public:
    // Listens on 127.0.0.1 on a free port and writes its number to
    // portFile; false if it cannot.
    bool Start(const std::string& portFile, simreader::Reader* reader);
};

} // namespace winscardsim
