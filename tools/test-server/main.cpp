// velmora-server: the server end of the client's protocol, for trying a
// reader by hand and for the end-to-end tests.
#include "net.h"
#include "options.h"
#include "runner.h"
#include "script.h"
#include "transcript.h"

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

int Fail(const std::string& message) {
    std::fprintf(stderr, "velmora-server: %s\n", message.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace velmora::server;
    Options options;
    std::string error;
    switch (ParseOptions(argc, argv, &options, &error)) {
        case OptionsResult::kHelp: std::fputs(UsageText(), stdout); return 0;
        case OptionsResult::kError: return Fail(error + " (see --help)");
        case OptionsResult::kRun: break;
    }
    std::vector<Step> script;
    if (!options.interactive && !LoadScript(options.script_path, &script, &error)) {
        return Fail(error);
    }
    Transcript out(stdout, options.quiet_rtt);
    if (!options.log_path.empty() && !out.OpenLog(options.log_path, &error)) return Fail(error);
    int stop_fd = InstallStopSignals();
    if (stop_fd < 0) return Fail("cannot set up signal handling");
    std::string bound;
    int listen_fd = Listen(options.listen, static_cast<int>(options.port), &bound, &error);
    if (listen_fd < 0) return Fail(error);
    out.Plain("LISTENING " + bound);
    int code = Serve(options, script, listen_fd, stop_fd, &out);
    close(listen_fd);
    return code;
}
