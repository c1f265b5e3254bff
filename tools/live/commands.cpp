// The live subcommands (device, view, demo) and the default viewer source:
// a device address, viewed over a direct connection.
#include <travik/travik.h>

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/validators.h"
#include "cli/viewer_options.h"
#include "live/demo.h"
#include "live/device.h"
#include "live/direct_source.h"
#include "live/view.h"

namespace travik_tool {

namespace {

#ifdef TRAVIK_TOOL_WEB
constexpr bool kDemoHasPage = true;
#else
constexpr bool kDemoHasPage = false;
#endif

// HOST[:PORT] or tls://HOST[:PORT]; a name is resolved once, and a TLS
// source keeps it as the name the device's certificate must carry.
std::unique_ptr<ViewSource> MakeDirectSource(const ViewerOptions& o, const SourceUse& use, int& exitCode) {
    DeviceTarget target;
    std::string ip;
    if (!ParseTarget(o.target, target)) {
        Status("%s: bad target '%s' (expected [tls://]HOST[:PORT])", use.who, o.target.c_str());
        exitCode = 2;
        return nullptr;
    }
    if (target.tls && TravikMgr::TlsAvailable() == 0) {
        Status("%s: tls:// is not available in this build (the library was built without TLS)", use.who);
        exitCode = 2;
        return nullptr;
    }
    if (!ResolveIPv4(target.host, ip)) {
        Status("%s: cannot resolve host '%s' to an IPv4 address", use.who, target.host.c_str());
        exitCode = 1;
        return nullptr;
    }
    TravikTls tls;
    if (target.tls) {
        tls.caFile = o.tlsCa;
        tls.certFile = o.tlsCert;
        tls.keyFile = o.tlsKey;
        tls.serverName = target.host;
    }
    return std::make_unique<DirectSource>(*Singleton<TravikMgr>::GetInstance(), ip, target.port, tls);
}

void AddDevice(Commands& commands) {
    auto o = std::make_shared<DeviceOptions>();
    CLI::App* cmd =
        commands.Add("device", "Run a device host: listen, stream test frames (or files) and log lines",
                     "usage: travik device [--port N] [--bind ADDR] [--fps F] [--channels 0,1,2,3] [--size WxH] "
                     "[--format gray|rgb] [--images DIR] [--log-rate N] [--duration S] [--noise 0..64] "
                     "[--tls-cert FILE --tls-key FILE [--tls-client-ca FILE]]",
                     [o](CommandContext& run) { return RunDevice(*o, run.stop); });
    cmd->add_option("--port", o->port, "TCP port to listen on")->check(CLI::Range(1, 65535))->capture_default_str();
    cmd->add_option("--bind", o->bind, "Local address to listen on (0.0.0.0: every IPv4 address)")
        ->check(BindCheck())
        ->capture_default_str();
    CLI::Option* cert = cmd->add_option("--tls-cert", o->tlsCert, "Serve viewers over TLS with this certificate (PEM)")
                            ->check(CLI::ExistingFile);
    CLI::Option* key =
        cmd->add_option("--tls-key", o->tlsKey, "Private key (PEM) of --tls-cert")->check(CLI::ExistingFile);
    cmd->add_option("--tls-client-ca", o->tlsClientCa, "Serve only viewers whose certificate this CA (PEM) signed")
        ->check(CLI::ExistingFile)
        ->needs(cert);
    cert->needs(key);
    key->needs(cert);
    cmd->add_option("--fps", o->fps, "Frames per second offered on each channel")
        ->check(CLI::Range(0.1, 1000.0))
        ->capture_default_str();
    cmd->add_option("--channels", o->channels, "Channels to stream")
        ->delimiter(',')
        ->check(ChannelCheck())
        ->capture_default_str();
    cmd->add_option("--size", o->size, "Test frame size")->check(SizeCheck())->capture_default_str();
    cmd->add_option("--format", o->format, "Test frame pixels: gray (attr2 1) or rgb (attr2 3)")
        ->check(CLI::IsMember({"gray", "rgb"}))
        ->capture_default_str();
    cmd->add_option("--images", o->imagesDir,
                    "Stream the files of DIR instead: PGM/PPM as images, others as opaque bytes (attr2 2)")
        ->check(CLI::ExistingDirectory);
    cmd->add_option("--log-rate", o->logRate, "Log lines per second (0: none)")
        ->check(CLI::Range(0.0, 10000.0))
        ->capture_default_str();
    cmd->add_option("--duration", o->duration, "Stop after S seconds (0: run until Ctrl-C)")
        ->check(CLI::Range(0.0, 1e7))
        ->capture_default_str();
    cmd->add_option("--noise", o->noise, "Sensor noise added to test frames, 0..64")
        ->check(CLI::Range(0, 64))
        ->capture_default_str();
    cmd->add_option("--level", o->level, "Image compression level, 1 (fastest) to 9 (smallest); default 6")
        ->check(CLI::Range(1, 9));
    cmd->add_option("--compress-threads", o->compressThreads,
                    "Threads compressing image frames, 0 = one per core (at most 8); default 1")
        ->check(CLI::Range(0, 32));
}

void AddView(Commands& commands) {
    auto o = std::make_shared<ViewOptions>();
    CLI::App* cmd = commands.Add(
        "view", "Connect to a device, print its log lines and save its images",
        "usage: travik view [tls://]HOST[:PORT] [--logs] [--channels 0,2] [--interval MS] [--out DIR] [--count N] "
        "[--duration S] [--reconnect] [--tls-ca FILE [--tls-cert FILE --tls-key FILE]] [--nats-creds FILE] "
        "[--nats-tls-ca FILE]",
        [o](CommandContext& run) {
            return run.commands.WithSource(*o, SourceUse{"travik view"},
                                           [&](ViewSource& source) { return RunView(*o, source, run.stop, run.out); });
        });
    AddViewerOptions(cmd, *o);
    cmd->add_option("--out", o->outDir, "Save each image into DIR (.pgm/.ppm/.bin) with an index.csv");
    cmd->add_option("--count", o->count, "Exit 0 after N images (0: no limit)")
        ->check(CLI::Range(0LL, 1000000000LL))
        ->capture_default_str();
    cmd->add_option("--duration", o->duration, "Exit 0 after S seconds (0: no limit)")
        ->check(CLI::Range(0.0, 1e7))
        ->capture_default_str();
    cmd->add_flag("--reconnect", o->reconnect, "Retry every second when the connection fails or is lost");
}

void AddDemo(Commands& commands) {
    auto o = std::make_shared<DemoOptions>();
    CLI::App* cmd = commands.Add("demo", "Run a device and a viewer on loopback and summarize what travelled",
                                 "usage: travik demo [--seconds S] [--out DIR] [--port N] [--web [ADDR:PORT]]",
                                 [o](CommandContext& run) {
                                     if (!kDemoHasPage && !o->web.empty())
                                         return run.commands.NotInThisBuild("the live page (demo --web)");
                                     return RunDemo(*o, run.stop, run.out);
                                 });
    cmd->add_option("--seconds", o->seconds, "How long to stream (0: until Ctrl-C)")
        ->check(CLI::Range(0.0, 1e7))
        ->capture_default_str();
    cmd->add_option("--out", o->outDir, "Where to write a few images and index.csv")->capture_default_str();
    cmd->add_option("--port", o->port, "Port for the device (0: any free port)")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    cmd->add_option("--web", o->web, "Also serve the live page on ADDR:PORT")
        ->expected(0, 1)
        ->default_str("127.0.0.1:8080")
        ->check(HttpCheck());
}

}  // namespace

void RegisterLiveCommands(Commands& commands) {
    AddDevice(commands);
    AddView(commands);
    AddDemo(commands);
    commands.AddScheme("", MakeDirectSource);
    commands.AddScheme(kTlsScheme, MakeDirectSource);
}

}  // namespace travik_tool
