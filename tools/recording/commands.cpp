// The recording subcommands (record, replay, export, info) as this folder
// registers them.
#include "cli/commands.h"
#include "cli/options.h"
#include "cli/validators.h"
#include "cli/viewer_options.h"
#include "recording/export.h"
#include "recording/record.h"
#include "recording/replay.h"

namespace travik_tool {

namespace {

const char* kRecordUsage =
    "usage: travik record [tls://]HOST[:PORT] -o FILE.mcap [--logs] [--channels 0,1,2,3] [--interval MS] "
    "[--duration S] [--reconnect] [--compression zstd|none] [--chunk-size MiB] [--layout foxglove|travik] "
    "[--video h264 [--keep-raw] [--video-bitrate RATE]] "
    "[--tls-ca FILE [--tls-cert FILE --tls-key FILE]] [--nats-creds FILE] [--nats-tls-ca FILE]";
const char* kReplayUsage = "usage: travik replay FILE.mcap [--port 7000] [--bind ADDR] [--speed X] [--loop]";
const char* kExportUsage = "usage: travik export FILE.mcap DIR [--channels 0,1,2,3]";
const char* kInfoUsage = "usage: travik info FILE.mcap";

void AddRecord(Commands& commands) {
    auto o = std::make_shared<RecordOptions>();
    CLI::App* rec = commands.Add(
        "record", "Record a device's log texts and images to an MCAP file", kRecordUsage, [o](CommandContext& run) {
            return run.commands.WithSource(*o, SourceUse{"travik record"},
                                           [&](ViewSource& source) { return RunRecord(*o, source, run.stop); });
        });
    ViewerHelp help;
    help.logs = "Open and record the device's log stream";
    help.channels = "Image channels to switch on and record";
    AddViewerOptions(rec, *o, help);
    rec->add_option("-o,--output", o->file, "MCAP file to write (replaced if it exists)")->required();
    rec->add_option("--duration", o->duration, "Stop after S seconds (0: until Ctrl-C)")
        ->check(CLI::Range(0.0, 1e7))
        ->capture_default_str();
    rec->add_flag("--reconnect", o->reconnect, "Retry every second when the connection fails or is lost");
    rec->add_option("--compression", o->compression, "Chunk compression")
        ->check(CLI::IsMember({"zstd", "none"}))
        ->capture_default_str();
    rec->add_option("--chunk-size", o->chunkMiB, "Uncompressed MiB per chunk (a chunk is also written every second)")
        ->check(CLI::Range(1, 64))
        ->capture_default_str();
    rec->add_option("--layout", o->layout,
                    "foxglove: images and logs in Foxglove's protobuf schemas, which Foxglove and Lichtblick "
                    "show; travik: the layout of earlier versions")
        ->check(CLI::IsMember({"foxglove", "travik"}))
        ->capture_default_str();
    rec->add_option("--video", o->video,
                    "Write gray and RGB images as H.264 video (foxglove.CompressedVideo on /travik/channel/N/h264)")
        ->check(CLI::IsMember({"h264"}));
    rec->add_flag("--keep-raw", o->keepRaw, "With --video: also write each image as it came");
    rec->add_option("--video-bitrate", o->videoBitrate,
                    "H.264 bits per second per channel, e.g. 600k or 2M (default: by resolution, about 2M at "
                    "1280x720 30 fps)")
        ->check(BitrateCheck());
}

void AddReplay(Commands& commands) {
    auto o = std::make_shared<ReplayOptions>();
    CLI::App* rep = commands.Add("replay", "Act as a device that plays a recording back at its recorded pace",
                                 kReplayUsage, [o](CommandContext& run) { return RunReplay(*o, run.stop); });
    rep->add_option("file", o->file, "MCAP file written by travik record")->required();
    rep->add_option("--port", o->port, "TCP port to listen on")->check(CLI::Range(1, 65535))->capture_default_str();
    rep->add_option("--bind", o->bind, "Local address to listen on (0.0.0.0: every IPv4 address)")
        ->check(BindCheck())
        ->capture_default_str();
    rep->add_option("--speed", o->speed, "Pace factor (2: twice as fast)")
        ->check(CLI::Range(0.01, 1000.0))
        ->capture_default_str();
    rep->add_flag("--loop", o->loop, "Start again at the end, until Ctrl-C (each pass takes at least 100 ms)");
}

void AddExport(Commands& commands) {
    auto o = std::make_shared<ExportOptions>();
    CLI::App* exp = commands.Add("export",
                                 "Write a recording's images and log text as travik view --out does, and each "
                                 "channel's video as an H.264 stream (chC.h264)",
                                 kExportUsage, [o](CommandContext& run) { return RunExport(*o, run.stop); });
    exp->add_option("file", o->file, "MCAP file written by travik record")->required();
    exp->add_option("dir", o->dir, "Directory for chC_NNNNNN.pgm|ppm|bin, chC.h264, index.csv and log.txt")->required();
    exp->add_option("--channels", o->channels, "Image channels to export")
        ->delimiter(',')
        ->check(ChannelCheck())
        ->capture_default_str();
}

void AddInfo(Commands& commands) {
    auto file = std::make_shared<std::string>();
    CLI::App* info = commands.Add("info", "Describe a recording: duration, channels, counts, sizes, closed or not",
                                  kInfoUsage, [file](CommandContext& run) { return RunInfo(*file, run.out); });
    info->add_option("file", *file, "MCAP file")->required();
}

}  // namespace

void RegisterRecordingCommands(Commands& commands) {
    AddRecord(commands);
    AddReplay(commands);
    AddExport(commands);
    AddInfo(commands);
}

}  // namespace travik_tool
