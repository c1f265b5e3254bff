// Command lines of the recording subcommands (record, replay, export,
// info), kept apart from main.cpp so that it only registers and dispatches.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdio>

#include "export.h"
#include "record.h"
#include "replay.h"
#include "stop_signal.h"

namespace travik_tool {

struct RecordingCommands {
    RecordOptions record;
    ReplayOptions replay;
    ExportOptions exportTo;
    std::string infoFile;
};

void AddRecordingCommands(CLI::App& app, RecordingCommands& o);
// Whether `name` is one of these subcommands.
bool IsRecordingCommand(const std::string& name);
// Usage line of the subcommand that was given, or null.
const char* RecordingUsage(CLI::App& app);
// Runs the subcommand that was given; -1 when none of these was.
int RunRecordingCommand(CLI::App& app, RecordingCommands& o, StopSignal& stop, FILE* out);

}  // namespace travik_tool
