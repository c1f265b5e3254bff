// travik: one binary, ten subcommands.
//   travik device   a device host that streams test frames or image files
//   travik view     a viewer that prints logs and saves images
//   travik demo     both on loopback, then a summary
//   travik web      a viewer that shows the device live in a browser
//   travik record   a viewer that records log texts and images to MCAP
//   travik replay   a device host that plays a recording back at its pace
//   travik export   a recording's images and log text as `view --out` writes
//   travik info     describes a recording: duration, channels, counts
//   travik bridge   a viewer of one device that publishes it into NATS
//   travik list     the devices that bridges publish on a NATS server
// view and record also take nats://HOST[:PORT]/NAME instead of a device.
// Exit codes: 0 done, 1 runtime failure (connect, listen, lost connection),
// 2 bad arguments, or a subcommand that this build leaves out (the Windows
// build has no web, record, replay, export, info, bridge or list).
#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <string>

#include "cli/console.h"
#include "cli/options.h"
#include "cli/stop_signal.h"
#include "cli/validators.h"
#include "cli/view_source.h"
#include "live/demo.h"
#include "live/device.h"
#include "live/view.h"
#ifdef TRAVIK_TOOL_RECORDING
#include "recording/commands.h"
#endif
#ifdef TRAVIK_TOOL_WEB
#include "web/viewer.h"
#endif
#ifdef TRAVIK_TOOL_NATS
#include "nats/commands.h"
#endif
#ifdef TRAVIK_TOOL_NATS_WEB
#include "nats/web.h"
#endif
#ifdef _WIN32
#include "platform/sockets.h"
#endif

using namespace travik_tool;

namespace {

const char* kDeviceUsage =
    "usage: travik device [--port N] [--fps F] [--channels 0,1,2,3] [--size WxH] "
    "[--format gray|rgb] [--images DIR] [--log-rate N] [--duration S] [--noise 0..64]";
const char* kViewUsage =
    "usage: travik view HOST[:PORT] [--logs] [--channels 0,2] [--interval MS] [--out DIR] "
    "[--count N] [--duration S] [--reconnect] [--nats-creds FILE] [--nats-tls-ca FILE]";
const char* kDemoUsage = "usage: travik demo [--seconds S] [--out DIR] [--port N] [--web [ADDR:PORT]]";
#ifdef TRAVIK_TOOL_WEB
const char* kWebUsage =
    "usage: travik web HOST[:PORT] [--http ADDR:PORT] [--quality Q] [--lossless] [--logs] [--channels 0,1,2,3] "
    "[--interval MS] [--foxglove [ADDR:PORT]] [--allow-origin ORIGIN]...";
#endif
#ifdef TRAVIK_TOOL_NATS
const char* kBridgeUsage =
    "usage: travik bridge DEVICE[:PORT] --nats URL[,URL...] --name NAME [--channels 0,1,2,3] [--interval MS] "
    "[--logs] [--level 1..9] [--nats-creds FILE] [--nats-tls-ca FILE]";
const char* kListUsage = "usage: travik list nats://HOST[:PORT] [--wait S] [--nats-creds FILE] [--nats-tls-ca FILE]";
#endif
const char* kTopUsage =
    "usage: travik device|view|demo"
#ifdef TRAVIK_TOOL_WEB
    "|web"
#endif
#ifdef TRAVIK_TOOL_RECORDING
    "|record|replay|export|info"
#endif
#ifdef TRAVIK_TOOL_NATS
    "|bridge|list"
#endif
    " [OPTIONS]  (travik SUBCOMMAND --help for each)";

#ifdef TRAVIK_TOOL_WEB
const CLI::Validator kHttpCheck(
    [](std::string& text) {
        std::string address;
        int port = 0;
        return ParseHttpAddress(text, address, port) ? std::string()
                                                     : "must be ADDR:PORT with an IP address, e.g. 127.0.0.1:8080";
    },
    "ADDR:PORT");
#else
const CLI::Validator kHttpCheck([](std::string&) { return std::string(); }, "ADDR:PORT");
#endif

// Subcommands that this build leaves out (their libraries are not built).
bool LeftOut(const std::string& name) {
#ifndef TRAVIK_TOOL_WEB
    if (name == "web") return true;
#endif
#ifndef TRAVIK_TOOL_RECORDING
    if (name == "record" || name == "replay" || name == "export" || name == "info") return true;
#endif
#ifndef TRAVIK_TOOL_NATS
    if (name == "bridge" || name == "list") return true;
#endif
    (void)name;
    return false;
}

int NotInThisBuild(const std::string& what) {
    std::fprintf(stderr, "travik: %s is not available in this build\n%s\n", what.c_str(), kTopUsage);
    return 2;
}

void AddDevice(CLI::App& app, DeviceOptions& o) {
    CLI::App* cmd =
        app.add_subcommand("device", "Run a device host: listen, stream test frames (or files) and log lines");
    cmd->add_option("--port", o.port, "TCP port to listen on")->check(CLI::Range(1, 65535))->capture_default_str();
    cmd->add_option("--fps", o.fps, "Frames per second offered on each channel")
        ->check(CLI::Range(0.1, 1000.0))
        ->capture_default_str();
    cmd->add_option("--channels", o.channels, "Channels to stream, a list of 0..3")
        ->delimiter(',')
        ->check(CLI::Range(0, 3))
        ->capture_default_str();
    cmd->add_option("--size", o.size, "Test frame size")->check(SizeCheck())->capture_default_str();
    cmd->add_option("--format", o.format, "Test frame pixels: gray (attr2 1) or rgb (attr2 3)")
        ->check(CLI::IsMember({"gray", "rgb"}))
        ->capture_default_str();
    cmd->add_option("--images", o.imagesDir,
                    "Stream the files of DIR instead: PGM/PPM as images, others as opaque bytes (attr2 2)")
        ->check(CLI::ExistingDirectory);
    cmd->add_option("--log-rate", o.logRate, "Log lines per second (0: none)")
        ->check(CLI::Range(0.0, 10000.0))
        ->capture_default_str();
    cmd->add_option("--duration", o.duration, "Stop after S seconds (0: run until Ctrl-C)")
        ->check(CLI::Range(0.0, 1e7))
        ->capture_default_str();
    cmd->add_option("--noise", o.noise, "Sensor noise added to test frames, 0..64")
        ->check(CLI::Range(0, 64))
        ->capture_default_str();
    cmd->add_option("--level", o.level, "Image compression level, 1 (fastest) to 9 (smallest); default 6")
        ->check(CLI::Range(1, 9));
    cmd->add_option("--compress-threads", o.compressThreads,
                    "Threads compressing image frames, 0 = one per core (at most 8); default 1")
        ->check(CLI::Range(0, 32));
}

void AddView(CLI::App& app, ViewOptions& o) {
    CLI::App* cmd = app.add_subcommand("view", "Connect to a device, print its log lines and save its images");
    cmd->add_option("target", o.target, "Device address, HOST or HOST:PORT (port 7000 when left out)")
        ->required()
        ->check(TargetCheck());
    cmd->add_flag("--logs", o.logs, "Open the device's log stream (closed otherwise)");
    cmd->add_option("--channels", o.channels, "Image channels to switch on (the others are switched off)")
        ->delimiter(',')
        ->check(CLI::Range(0, 3))
        ->capture_default_str();
    cmd->add_option("--interval", o.interval, "Minimum ms between two images of one channel")
        ->check(CLI::Range(1, 3600000))
        ->capture_default_str();
    cmd->add_option("--out", o.outDir, "Save each image into DIR (.pgm/.ppm/.bin) with an index.csv");
    cmd->add_option("--count", o.count, "Exit 0 after N images (0: no limit)")
        ->check(CLI::Range(0LL, 1000000000LL))
        ->capture_default_str();
    cmd->add_option("--duration", o.duration, "Exit 0 after S seconds (0: no limit)")
        ->check(CLI::Range(0.0, 1e7))
        ->capture_default_str();
    cmd->add_flag("--reconnect", o.reconnect, "Retry every second when the connection fails or is lost");
}

void AddDemo(CLI::App& app, DemoOptions& o) {
    CLI::App* cmd = app.add_subcommand("demo", "Run a device and a viewer on loopback and summarize what travelled");
    cmd->add_option("--seconds", o.seconds, "How long to stream (0: until Ctrl-C)")
        ->check(CLI::Range(0.0, 1e7))
        ->capture_default_str();
    cmd->add_option("--out", o.outDir, "Where to write a few images and index.csv")->capture_default_str();
    cmd->add_option("--port", o.port, "Port for the device (0: any free port)")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    cmd->add_option("--web", o.web, "Also serve the live page on ADDR:PORT")
        ->expected(0, 1)
        ->default_str("127.0.0.1:8080")
        ->check(kHttpCheck);
}

#ifdef TRAVIK_TOOL_WEB
void AddWeb(CLI::App& app, WebOptions& o) {
    CLI::App* cmd = app.add_subcommand("web", "Connect to a device and show it live in a browser");
    cmd->add_option("target", o.target, "Device address, HOST or HOST:PORT (port 7000 when left out)")
        ->required()
        ->check(TargetCheck());
    cmd->add_option("--http", o.http, "Where the page is served (0.0.0.0:PORT exposes it to the network)")
        ->check(kHttpCheck)
        ->capture_default_str();
    cmd->add_option("--quality", o.quality, "JPEG quality")->check(CLI::Range(1, 100))->capture_default_str();
    cmd->add_flag("--lossless", o.lossless, "Send PNG instead of JPEG");
    cmd->add_flag("--logs", o.logs, "Open the device's log stream (the page can switch it later)");
    cmd->add_option("--channels", o.channels, "Image channels to switch on (the others are switched off)")
        ->delimiter(',')
        ->check(CLI::Range(0, 3))
        ->capture_default_str();
    cmd->add_option("--interval", o.interval, "Minimum ms between two images of one channel")
        ->check(CLI::Range(1, 3600000))
        ->capture_default_str();
    cmd->add_option("--foxglove", o.foxglove, "Also serve the Foxglove WebSocket protocol on ADDR:PORT")
        ->expected(0, 1)
        ->default_str("127.0.0.1:8765")
        ->check(kHttpCheck);
    cmd->add_option("--allow-origin", o.allowOrigins,
                    "A web page origin that may connect to --foxglove (e.g. https://app.foxglove.dev); repeatable")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}
#endif

#ifdef TRAVIK_TOOL_NATS
void AddBridge(CLI::App& app, travik_nats::BridgeOptions& o) {
    CLI::App* cmd = app.add_subcommand("bridge", "View one device and publish it into a NATS cluster");
    cmd->add_option("target", o.target, "Device address, HOST or HOST:PORT (port 7000 when left out)")
        ->required()
        ->check(TargetCheck());
    cmd->add_option("--nats", o.nats, "The cluster's servers, URL[,URL...] (nats://HOST:PORT)")->required();
    cmd->add_option("--name", o.name, "The device's name on NATS (A-Z a-z 0-9 _ -)")->required();
    cmd->add_option("--channels", o.channels, "The most it forwards: channels viewers may switch on")
        ->delimiter(',')
        ->check(CLI::Range(0, 3))
        ->capture_default_str();
    cmd->add_option("--interval", o.interval, "The smallest interval in ms it asks the device for")
        ->check(CLI::Range(1, 3600000))
        ->capture_default_str();
    cmd->add_flag("--logs", o.logs, "Forward log texts when a viewer asks for them (never otherwise)");
    cmd->add_option("--level", o.level, "Image compression level 1..9")->check(CLI::Range(1, 9))->capture_default_str();
    cmd->add_option("--nats-creds", o.creds, "NATS credentials file")->check(CLI::ExistingFile);
    cmd->add_option("--nats-tls-ca", o.tlsCa, "CA certificates for TLS to NATS")->check(CLI::ExistingFile);
}

void AddList(CLI::App& app, travik_nats::ListOptions& o) {
    CLI::App* cmd = app.add_subcommand("list", "List the devices that bridges publish on a NATS server");
    cmd->add_option("target", o.target, "nats://HOST[:PORT]")->required();
    cmd->add_option("--wait", o.wait, "Seconds to listen for the bridges' status")
        ->check(CLI::Range(0.1, 600.0))
        ->capture_default_str();
    cmd->add_option("--nats-creds", o.creds, "NATS credentials file")->check(CLI::ExistingFile);
    cmd->add_option("--nats-tls-ca", o.tlsCa, "CA certificates for TLS to NATS")->check(CLI::ExistingFile);
}
#endif

bool IsNats(const std::string& target) { return target.compare(0, 7, "nats://") == 0; }

// Credentials and CA file for the nats:// address of view, record and web
// (only one subcommand runs, so they share one place).
struct NatsAccess {
    std::string creds;
    std::string tlsCa;
};

void AddNatsAccess(CLI::App* cmd, NatsAccess& o) {
    if (cmd == nullptr) return;
    cmd->add_option("--nats-creds", o.creds, "NATS credentials file (with a nats:// address)")
        ->check(CLI::ExistingFile);
    cmd->add_option("--nats-tls-ca", o.tlsCa, "CA certificates for TLS to NATS (with a nats:// address)")
        ->check(CLI::ExistingFile);
}

int UsageError(CLI::App& app, const CLI::ParseError& e) {
    const char* usage = kTopUsage;
    if (app.got_subcommand("device")) usage = kDeviceUsage;
    if (app.got_subcommand("view")) usage = kViewUsage;
    if (app.got_subcommand("demo")) usage = kDemoUsage;
#ifdef TRAVIK_TOOL_RECORDING
    if (const char* recording = RecordingUsage(app)) usage = recording;
#endif
#ifdef TRAVIK_TOOL_WEB
    if (app.got_subcommand("web")) usage = kWebUsage;
#endif
#ifdef TRAVIK_TOOL_NATS
    if (app.got_subcommand("bridge")) usage = kBridgeUsage;
    if (app.got_subcommand("list")) usage = kListUsage;
#endif
    std::fprintf(stderr, "travik: %s\n%s\n", e.what(), usage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread exists, so that every thread inherits the mask.
    BlockStopSignals();
#ifdef _WIN32
    // For the tool's own address lookups and the demo's port probe; the
    // library starts Windows Sockets on its threads itself.
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
#endif

    CLI::App app{"travik: stream log text and images from a device to viewers over TCP", "travik"};
    app.require_subcommand(1);
    DeviceOptions device;
    ViewOptions view;
    DemoOptions demo;
    AddDevice(app, device);
    AddView(app, view);
    AddDemo(app, demo);
#ifdef TRAVIK_TOOL_RECORDING
    RecordingCommands recording;
    AddRecordingCommands(app, recording);
#endif
#ifdef TRAVIK_TOOL_WEB
    WebOptions web;
    AddWeb(app, web);
#endif
#ifdef TRAVIK_TOOL_NATS
    travik_nats::BridgeOptions bridge;
    travik_nats::ListOptions list;
    AddBridge(app, bridge);
    AddList(app, list);
#endif
    NatsAccess natsAccess;
    AddNatsAccess(app.get_subcommand("view"), natsAccess);
#ifdef TRAVIK_TOOL_WEB
    AddNatsAccess(app.get_subcommand("web"), natsAccess);
#endif
#ifdef TRAVIK_TOOL_RECORDING
    AddNatsAccess(app.get_subcommand("record"), natsAccess);
#endif
    const std::string first = argc > 1 ? argv[1] : "";
    if (LeftOut(first)) return NotInThisBuild("'" + first + "'");
    if (!first.empty() && first[0] != '-' && first != "device" && first != "view" && first != "demo" &&
        first != "web" && first != "record" && first != "replay" && first != "export" && first != "info" &&
        first != "bridge" && first != "list") {
        std::fprintf(stderr, "travik: unknown subcommand '%s'\n%s\n", argv[1], kTopUsage);
        return 2;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help
        return UsageError(app, e);
    }

#ifndef TRAVIK_TOOL_WEB
    if (app.got_subcommand("demo") && !demo.web.empty()) return NotInThisBuild("the live page (demo --web)");
#endif

    // nats:// addresses: a source of this build's NATS code, or refused.
    std::unique_ptr<ViewSource> source;
    std::string natsTarget;
    if (app.got_subcommand("view") && IsNats(view.target)) natsTarget = view.target;
#ifdef TRAVIK_TOOL_RECORDING
    if (app.got_subcommand("record") && IsNats(recording.record.target)) natsTarget = recording.record.target;
#endif
#ifdef TRAVIK_TOOL_WEB
    const bool natsWeb = app.got_subcommand("web") && IsNats(web.target);
#ifndef TRAVIK_TOOL_NATS_WEB
    if (natsWeb) return NotInThisBuild("web with a nats:// address");
#endif
#else
    const bool natsWeb = false;
#endif
    if (natsTarget.empty() && !natsWeb && (!natsAccess.creds.empty() || !natsAccess.tlsCa.empty())) {
        std::fprintf(stderr, "travik: --nats-creds and --nats-tls-ca go with a nats:// address\n");
        return 2;
    }
    if (!natsTarget.empty()) {
#ifdef TRAVIK_TOOL_NATS
        source = travik_nats::MakeSource(natsTarget, natsAccess.creds, natsAccess.tlsCa);
        if (!source) return 2;
#else
        return NotInThisBuild("a nats:// address");
#endif
    }
#ifdef TRAVIK_TOOL_RECORDING
    recording.record.source = source.get();
#endif

    FILE* out = TakeStdout();
    StopSignal stop;
    if (app.got_subcommand("device")) return RunDevice(device, stop);
    if (app.got_subcommand("view")) return RunView(view, stop, out, source.get());
#ifdef TRAVIK_TOOL_NATS
    if (app.got_subcommand("bridge")) return travik_nats::RunBridge(bridge, stop);
    if (app.got_subcommand("list")) return travik_nats::RunList(list, stop, out);
#endif
#ifdef TRAVIK_TOOL_NATS_WEB
    if (natsWeb) return travik_nats::RunNatsWeb(web, natsAccess.creds, natsAccess.tlsCa, stop, out);
#endif
#ifdef TRAVIK_TOOL_WEB
    if (app.got_subcommand("web")) return RunWeb(web, stop, out);
#endif
#ifdef TRAVIK_TOOL_RECORDING
    const int rc = RunRecordingCommand(app, recording, stop, out);
    if (rc >= 0) return rc;
#endif
    return RunDemo(demo, stop, out);
}
