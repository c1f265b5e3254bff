#include "cli/commands.h"

#include "cli/console.h"

namespace travik_tool {

Commands::Commands(std::string description) : m_app(std::move(description), "travik") { m_app.require_subcommand(1); }

CLI::App* Commands::Add(const std::string& name, const std::string& description, std::string usage, Run run) {
    CLI::App* app = m_app.add_subcommand(name, description);
    m_entries.push_back(Entry{name, std::move(usage), app, std::move(run)});
    return app;
}

void Commands::LeaveOut(const std::string& name) { m_leftOut.push_back(name); }

void Commands::AddScheme(const std::string& prefix, SourceMaker make) {
    m_schemes.push_back(Scheme{prefix, std::move(make)});
}

std::string Commands::TopUsage() const {
    std::string names;
    for (const Entry& e : m_entries) names += (names.empty() ? "" : "|") + e.name;
    return "usage: travik " + names + " [OPTIONS]  (travik SUBCOMMAND --help for each)";
}

bool Commands::LeftOut(const std::string& name) const {
    for (const std::string& n : m_leftOut)
        if (n == name) return true;
    return false;
}

int Commands::NotInThisBuild(const std::string& what) const {
    std::fprintf(stderr, "travik: %s is not available in this build\n%s\n", what.c_str(), TopUsage().c_str());
    return 2;
}

int Commands::Main(int argc, char** argv, StopSignal& stop) {
    const std::string first = argc > 1 ? argv[1] : "";
    if (LeftOut(first)) return NotInThisBuild("'" + first + "'");
    bool known = first.empty() || first[0] == '-';
    for (const Entry& e : m_entries) known = known || e.name == first;
    if (!known) {
        std::fprintf(stderr, "travik: unknown subcommand '%s'\n%s\n", first.c_str(), TopUsage().c_str());
        return 2;
    }
    try {
        m_app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return m_app.exit(e);  // --help
        std::string usage = TopUsage();
        for (const Entry& entry : m_entries)
            if (entry.app->parsed()) usage = entry.usage;
        std::fprintf(stderr, "travik: %s\n%s\n", e.what(), usage.c_str());
        return 2;
    }
    CommandContext context{stop, TakeStdout(), *this};
    for (Entry& e : m_entries)
        if (e.app->parsed()) return e.run(context);
    return 2;  // require_subcommand(1) leaves no other way
}

std::unique_ptr<ViewSource> Commands::MakeSource(const ViewerOptions& options, const SourceUse& use, int& exitCode) {
    const Scheme* chosen = nullptr;
    for (const Scheme& s : m_schemes)
        if (s.prefix.empty() ? chosen == nullptr : options.target.compare(0, s.prefix.size(), s.prefix) == 0)
            chosen = &s;
    for (const std::string& left : m_leftOut) {
        if (left.find("://") != std::string::npos && options.target.compare(0, left.size(), left) == 0) {
            exitCode = NotInThisBuild("a " + left + " address");
            return nullptr;
        }
    }
    const bool natsTarget = options.target.compare(0, 7, "nats://") == 0;
    if (!natsTarget && !use.natsOfItsOwn && (!options.natsCreds.empty() || !options.natsTlsCa.empty())) {
        Status("travik: --nats-creds and --nats-tls-ca go with a nats:// address");
        exitCode = 2;
        return nullptr;
    }
    if (chosen == nullptr) {
        Status("%s: no source for '%s'", use.who, options.target.c_str());
        exitCode = 2;
        return nullptr;
    }
    return chosen->make(options, use, exitCode);
}

int Commands::WithSource(const ViewerOptions& options, const SourceUse& use,
                         const std::function<int(ViewSource&)>& run) {
    int rc = 2;
    std::unique_ptr<ViewSource> source = MakeSource(options, use, rc);
    return source ? run(*source) : rc;
}

}  // namespace travik_tool
