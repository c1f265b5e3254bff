#include "cli/viewer_options.h"

#include <string>

#include "cli/validators.h"

namespace travik_tool {

namespace {

// TLS is never chosen by the options alone: a tls:// target asks for it and
// needs the CA; the files beside a plain target would be silently unused.
void CheckTlsOptions(const ViewerOptions& o) {
    const bool tlsTarget = o.target.compare(0, sizeof kTlsScheme - 1, kTlsScheme) == 0;
    if (tlsTarget && o.tlsCa.empty())
        throw CLI::ValidationError("--tls-ca", "a tls:// address needs --tls-ca FILE, the CA that signed the device");
    if (!tlsTarget && (!o.tlsCa.empty() || !o.tlsCert.empty()))
        throw CLI::ValidationError("--tls-ca/--tls-cert/--tls-key", "go with a tls:// address");
}

}  // namespace

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
    CLI::Option* ca = cmd->add_option("--tls-ca", o.tlsCa, "CA certificate (PEM) that signed the device's (tls://)")
                          ->check(CLI::ExistingFile);
    CLI::Option* cert =
        cmd->add_option("--tls-cert", o.tlsCert, "Client certificate (PEM) for a device that checks its viewers")
            ->check(CLI::ExistingFile);
    CLI::Option* key =
        cmd->add_option("--tls-key", o.tlsKey, "Private key (PEM) of --tls-cert")->check(CLI::ExistingFile);
    cert->needs(key)->needs(ca);
    key->needs(cert);
    cmd->parse_complete_callback([&o] { CheckTlsOptions(o); });
}

}  // namespace travik_tool
