#include "recording/commands.h"

#include "cli/options.h"
#include "cli/validators.h"

namespace travik_tool {

namespace {

const char* kRecordUsage =
    "usage: travik record HOST[:PORT] -o FILE.mcap [--logs] [--channels 0,1,2,3] [--interval MS] [--duration S] "
    "[--reconnect] [--compression zstd|none] [--chunk-size MiB] [--layout foxglove|travik] "
    "[--nats-creds FILE] [--nats-tls-ca FILE]";
const char* kReplayUsage = "usage: travik replay FILE.mcap [--port 7000] [--speed X] [--loop]";
const char* kExportUsage = "usage: travik export FILE.mcap DIR [--channels 0,1,2,3]";
const char* kInfoUsage = "usage: travik info FILE.mcap";

}  // namespace

void AddRecordingCommands(CLI::App& app, RecordingCommands& o) {
    CLI::App* rec = app.add_subcommand("record", "Record a device's log texts and images to an MCAP file");
    rec->add_option("target", o.record.target, "Device address, HOST or HOST:PORT (port 7000 when left out)")
        ->required()
        ->check(TargetCheck());
    rec->add_option("-o,--output", o.record.file, "MCAP file to write (replaced if it exists)")->required();
    rec->add_flag("--logs", o.record.logs, "Open and record the device's log stream");
    rec->add_option("--channels", o.record.channels, "Image channels to switch on and record")
        ->delimiter(',')
        ->check(CLI::Range(0, 3))
        ->capture_default_str();
    rec->add_option("--interval", o.record.interval, "Minimum ms between two images of one channel")
        ->check(CLI::Range(1, 3600000))
        ->capture_default_str();
    rec->add_option("--duration", o.record.duration, "Stop after S seconds (0: until Ctrl-C)")
        ->check(CLI::Range(0.0, 1e7))
        ->capture_default_str();
    rec->add_flag("--reconnect", o.record.reconnect, "Retry every second when the connection fails or is lost");
    rec->add_option("--compression", o.record.compression, "Chunk compression")
        ->check(CLI::IsMember({"zstd", "none"}))
        ->capture_default_str();
    rec->add_option("--chunk-size", o.record.chunkMiB,
                    "Uncompressed MiB per chunk (a chunk is also written every second)")
        ->check(CLI::Range(1, 64))
        ->capture_default_str();
    rec->add_option("--layout", o.record.layout,
                    "foxglove: images and logs in Foxglove's protobuf schemas, which Foxglove and Lichtblick "
                    "show; travik: the layout of earlier versions")
        ->check(CLI::IsMember({"foxglove", "travik"}))
        ->capture_default_str();

    CLI::App* rep = app.add_subcommand("replay", "Act as a device that plays a recording back at its recorded pace");
    rep->add_option("file", o.replay.file, "MCAP file written by travik record")->required();
    rep->add_option("--port", o.replay.port, "TCP port to listen on")
        ->check(CLI::Range(1, 65535))
        ->capture_default_str();
    rep->add_option("--speed", o.replay.speed, "Pace factor (2: twice as fast)")
        ->check(CLI::Range(0.01, 1000.0))
        ->capture_default_str();
    rep->add_flag("--loop", o.replay.loop, "Start again at the end, until Ctrl-C (each pass takes at least 100 ms)");

    CLI::App* exp = app.add_subcommand("export", "Write a recording's images and log text as travik view --out does");
    exp->add_option("file", o.exportTo.file, "MCAP file written by travik record")->required();
    exp->add_option("dir", o.exportTo.dir, "Directory for chC_NNNNNN.pgm|ppm|bin, index.csv and log.txt")->required();
    exp->add_option("--channels", o.exportTo.channels, "Image channels to export")
        ->delimiter(',')
        ->check(CLI::Range(0, 3))
        ->capture_default_str();

    CLI::App* info =
        app.add_subcommand("info", "Describe a recording: duration, channels, counts, sizes, closed or not");
    info->add_option("file", o.infoFile, "MCAP file")->required();
}

const char* RecordingUsage(CLI::App& app) {
    if (app.got_subcommand("record")) return kRecordUsage;
    if (app.got_subcommand("replay")) return kReplayUsage;
    if (app.got_subcommand("export")) return kExportUsage;
    if (app.got_subcommand("info")) return kInfoUsage;
    return nullptr;
}

int RunRecordingCommand(CLI::App& app, RecordingCommands& o, StopSignal& stop, FILE* out) {
    if (app.got_subcommand("record")) return RunRecord(o.record, stop);
    if (app.got_subcommand("replay")) return RunReplay(o.replay, stop);
    if (app.got_subcommand("export")) return RunExport(o.exportTo, stop);
    if (app.got_subcommand("info")) return RunInfo(o.infoFile, out);
    return -1;
}

}  // namespace travik_tool
