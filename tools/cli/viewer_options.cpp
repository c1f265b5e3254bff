#include "cli/viewer_options.h"

#include <string>

#include "cli/validators.h"

namespace travik_tool {

void AddViewerOptions(CLI::App* cmd, ViewerOptions& o, const ViewerHelp& help) {
    cmd->add_option("target", o.target, help.target)->required()->check(TargetCheck());
    cmd->add_flag("--logs", o.logs, help.logs);
    cmd->add_option("--channels", o.channels, help.channels)
        ->delimiter(',')
        ->check(ChannelCheck())
        ->capture_default_str();
    cmd->add_option("--interval", o.interval, help.interval)->check(CLI::Range(1, 3600000))->capture_default_str();
    cmd->add_option("--nats-creds", o.natsCreds, std::string("NATS credentials file ") + help.nats)
        ->check(CLI::ExistingFile);
    cmd->add_option("--nats-tls-ca", o.natsTlsCa, std::string("CA certificates for TLS to NATS ") + help.nats)
        ->check(CLI::ExistingFile);
}

}  // namespace travik_tool
