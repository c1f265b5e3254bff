// travik: one binary, a subcommand per task. Each folder of tools/ registers
// its own (`travik --help` lists them); a build that leaves a folder out
// says so when one of its subcommands is asked for.
// Exit codes: 0 done, 1 runtime failure (connect, listen, lost connection),
// 2 bad arguments, or a subcommand that this build leaves out.
#include "cli/commands.h"
#include "cli/options.h"
#include "cli/stop_signal.h"

int main(int argc, char** argv) {
    // Before any thread exists, so that every thread inherits the mask.
    travik_tool::BlockStopSignals();
    travik_tool::StartSocketLookups();
    travik_tool::Commands commands("travik: stream log text and images from a device to viewers over TCP");
    travik_tool::RegisterAllCommands(commands);
    travik_tool::StopSignal stop;
    return commands.Main(argc, argv, stop);
}
