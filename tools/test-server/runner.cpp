#include "runner.h"

#include "net.h"
#include "peer_session.h"

#include <string>

namespace velmora::server {
namespace {

struct SessionEnd {
    bool clean;
    bool stopped;
};

Outcome RunScript(Session* session, const std::vector<Step>& script, const Options& options) {
    for (int64_t round = 0; round < options.repeat; ++round) {
        for (const Step& step : script) {
            Outcome outcome = session->Run(step, options.reply_timeout_ms);
            if (outcome != Outcome::kOk) return outcome;
        }
    }
    return Outcome::kOk;
}

Outcome RunLine(Session* session, const std::string& line, const Options& options,
                Transcript* out) {
    Step step;
    std::string error;
    switch (ParseStep(line, &step, &error)) {
        case ParseResult::kSkip: return Outcome::kOk;
        case ParseResult::kError: out->Note("error: " + error); return Outcome::kOk;
        case ParseResult::kStep: break;
    }
    return session->Run(step, options.reply_timeout_ms);
}

Outcome RunInput(Session* session, const Options& options, Transcript* out) {
    for (;;) {
        std::string line;
        Outcome outcome = session->ReadInput(&line);
        // The end of the input is the end of the script; a client leaving
        // while nothing is outstanding is no failure.
        if (outcome == Outcome::kEnded) return Outcome::kOk;
        if (outcome == Outcome::kClosed) return Outcome::kEnded;
        if (outcome != Outcome::kOk) return outcome;
        outcome = RunLine(session, line, options, out);
        if (outcome != Outcome::kOk) return outcome;
    }
}

// After the script: close, or keep showing events until the client goes.
Outcome Finish(Session* session, const Options& options) {
    if (options.exit_on_script_end) return session->Close(options.reply_timeout_ms);
    return session->WaitClose(kNoTimeout);
}

SessionEnd ServeClient(int fd, const Options& options, const std::vector<Step>& script, int stop_fd,
                       Input* input, Transcript* out) {
    Tally tally;
    Session session(fd, stop_fd, input, out, &tally);
    Outcome outcome = Outcome::kOk;
    if (options.send_greeting) outcome = session.Greet(options.greeting, options.greeting_delay_ms);
    if (outcome == Outcome::kOk) {
        outcome = options.interactive ? RunInput(&session, options, out)
                                      : RunScript(&session, script, options);
    }
    bool finished = outcome == Outcome::kOk || outcome == Outcome::kEnded;
    out->Note(Summary(tally, options.quiet_rtt));
    if (outcome == Outcome::kOk) outcome = Finish(&session, options);
    return {finished && tally.timeouts == 0, outcome == Outcome::kStopped};
}

}  // namespace

int Serve(const Options& options, const std::vector<Step>& script, int listen_fd, int stop_fd,
          Transcript* out) {
    Input input;
    bool clean = true;
    for (;;) {
        std::string peer;
        std::string error;
        int fd = AcceptClient(listen_fd, stop_fd, &peer, &error);
        if (fd < 0 && !error.empty()) {
            out->Note("accept failed: " + error);
            return 2;
        }
        if (fd < 0) break;
        out->Note("client connected from " + peer);
        Input* from = options.interactive ? &input : nullptr;
        SessionEnd end = ServeClient(fd, options, script, stop_fd, from, out);
        clean = clean && end.clean;
        if (end.stopped) break;
        if (options.once || options.exit_on_script_end) return clean ? 0 : 1;
    }
    out->Note("stopped");
    return clean ? 0 : 1;
}

}  // namespace velmora::server
