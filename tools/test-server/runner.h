// Serves clients one after another: greeting, script or standard input,
// summary.
#pragma once

#include "options.h"
#include "script.h"
#include "transcript.h"

#include <vector>

namespace velmora::server {

// Returns the exit code: 0 if every client's script ran to its end with no
// timeout, 1 if not, 2 if the server could not go on accepting.
int Serve(const Options& options, const std::vector<Step>& script, int listen_fd, int stop_fd,
          Transcript* out);

}  // namespace velmora::server
