// Holding the device open: input printed while the handle stays open, and the line-by-line session.
// Caller: the tool's main thread, with the device open (cli_commands.h). SIGINT and SIGTERM end
// a hold or a session cleanly: the waiting read is cancelled and the handle closed (the host then
// sends the interface its closing sequence once). A command waiting for its answer is given up at
// once; a second signal ends the tool without waiting for the close.
#pragma once

#include "tools/cli_commands.h"

namespace tools {

// Keeps one read of the device waiting and prints each buffer that arrives as monitor lines.
class InputPrinter {
public:
    enum class Wake { Time, Watched, Stopped, Failed };

    // Sends the first read at once: input reaches the handle from when that read waits.
    explicit InputPrinter(Device& device);

    // Prints input until `ms` have passed (negative: no limit), descriptor `watch` (-1: none)
    // is readable, a stop signal came or the connection failed (reported).
    Wake Run(int ms, int watch = -1);

    // Cancels the waiting read (printing what it still brought) and closes the handle.
    void Finish();

private:
    bool Print(const Completion& c);

    Device& device_;
    uint32_t readTag_ = 0;
};

// Routes SIGINT and SIGTERM to a stop that InputPrinter::Run and the session notice.
void CatchStopSignals();
bool StopRequested();

// Commands one a line from standard input, as on the command line plus `wait MS`, `help` and
// `quit`; blank lines and lines starting with # are skipped. Input is printed meanwhile. A line
// that fails is reported and the session goes on. Ends at the end of input, `quit` or a stop
// signal, closing the device. Answers the worst exit code of its lines.
int RunSession(Device& device);

} // namespace tools
