// The NATS subcommands (bridge, list) and the nats:// viewer source, as
// this folder registers them.
#include "nats/fleet/commands.h"

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/validators.h"
#include "cli/viewer_options.h"
#include "nats/client/link.h"
#include "nats/client/source.h"
#include "nats/fleet/picker.h"

namespace travik_nats {

namespace {

using travik_tool::CommandContext;
using travik_tool::Commands;

// nats://HOST[:PORT]/NAME; without NAME only where the page picks (web).
std::unique_ptr<travik_tool::ViewSource> MakeNatsSource(const travik_tool::ViewerOptions& o,
                                                        const travik_tool::SourceUse& use, int& exitCode) {
    std::string url, name;
    if (!ParseNatsTarget(o.target, url, name, use.pickable)) {
        travik_tool::Status("%s: bad address '%s' (expected nats://HOST[:PORT]/NAME%s)", use.who,
                            Redacted(o.target).c_str(), use.pickable ? ", NAME optional" : "");
        exitCode = 2;
        return nullptr;
    }
    LinkOptions link;
    link.credsFile = o.natsCreds;
    link.tlsCaFile = o.natsTlsCa;
    if (use.pickable) return std::make_unique<PickerSource>(url, link, name);
    return std::make_unique<NatsViewer>(url, name, link);
}

void AddBridge(Commands& commands) {
    auto o = std::make_shared<BridgeOptions>();
    CLI::App* cmd =
        commands.Add("bridge", "View one device and publish it into a NATS cluster",
                     "usage: travik bridge [tls://]DEVICE[:PORT] --nats URL[,URL...] --name NAME [--channels 0,1,2,3] "
                     "[--interval MS] [--logs] [--level 1..9] [--video h264 [--video-bitrate RATE]] [--tls-ca FILE "
                     "[--tls-cert FILE --tls-key FILE]] "
                     "[--nats-creds FILE] [--nats-tls-ca FILE]",
                     [o](CommandContext& run) {
                         // Its --nats-creds serve its cluster, whatever the source.
                         return run.commands.WithSource(
                             *o, travik_tool::SourceUse{"travik bridge", false, true},
                             [&](travik_tool::ViewSource& source) { return RunBridge(*o, source, run.stop); });
                     });
    travik_tool::ViewerHelp help;
    help.channels = "The most it forwards: channels viewers may switch on";
    help.interval = "The smallest interval in ms it asks the device for";
    help.logs = "Forward log texts when a viewer asks for them (never otherwise)";
    help.nats = "(for --nats, and a nats:// source)";
    travik_tool::AddViewerOptions(cmd, *o, help);
    cmd->add_option("--nats", o->nats, "The cluster's servers, URL[,URL...] (nats://HOST:PORT)")->required();
    cmd->add_option("--name", o->name, "The device's name on NATS (A-Z a-z 0-9 _ -)")->required();
    cmd->add_option("--level", o->level, "Image compression level 1..9")
        ->check(CLI::Range(1, 9))
        ->capture_default_str();
    cmd->add_option("--video", o->video, "Also publish each channel a viewer leases as video, encoded once here (h264)")
        ->check(CLI::IsMember({"h264"}));
    cmd->add_option("--video-bitrate", o->videoBitrate,
                    "H.264 bits per second per channel, e.g. 600k or 2M (default: by resolution, about 2M at "
                    "1280x720 30 fps)")
        ->check(travik_tool::BitrateCheck());
}

void AddList(Commands& commands) {
    auto o = std::make_shared<ListOptions>();
    CLI::App* cmd =
        commands.Add("list", "List the devices that bridges publish on a NATS server",
                     "usage: travik list nats://HOST[:PORT] [--wait S] [--nats-creds FILE] [--nats-tls-ca FILE]",
                     [o](CommandContext& run) { return RunList(*o, run.stop, run.out); });
    cmd->add_option("target", o->target, "nats://HOST[:PORT]")->required();
    cmd->add_option("--wait", o->wait, "Seconds to listen for the bridges' status")
        ->check(CLI::Range(0.1, 600.0))
        ->capture_default_str();
    cmd->add_option("--nats-creds", o->creds, "NATS credentials file")->check(CLI::ExistingFile);
    cmd->add_option("--nats-tls-ca", o->tlsCa, "CA certificates for TLS to NATS")->check(CLI::ExistingFile);
}

}  // namespace

}  // namespace travik_nats

namespace travik_tool {

void RegisterNatsCommands(Commands& commands) {
    travik_nats::AddBridge(commands);
    travik_nats::AddList(commands);
    commands.AddScheme("nats://", travik_nats::MakeNatsSource);
}

}  // namespace travik_tool
