// Command lines of the recording subcommands (record, replay, export,
// info), kept apart from main.cpp so that it only registers and dispatches.
// Contract: main thread only. The options `o` are borrowed by `app` (CLI11
// writes into them) until it is destroyed; RunRecordingCommand blocks for
// the whole subcommand.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdio>

#include "cli/stop_signal.h"
#include "recording/export.h"
#include "recording/record.h"
#include "recording/replay.h"

namespace travik_tool {

struct RecordingCommands {
    RecordOptions record;
    ReplayOptions replay;
    ExportOptions exportTo;
    std::string infoFile;
};

void AddRecordingCommands(CLI::App& app, RecordingCommands& o);
// Usage line of the subcommand that was given, or null.
const char* RecordingUsage(CLI::App& app);
// Runs the subcommand that was given; -1 when none of these was.
int RunRecordingCommand(CLI::App& app, RecordingCommands& o, StopSignal& stop, FILE* out);

}  // namespace travik_tool
