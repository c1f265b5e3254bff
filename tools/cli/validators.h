// Command-line checks that more than one subcommand family uses, built on
// the parsers of cli/options.h so that a value the parser takes is exactly
// a value the check lets through.
// Contract: used while the main thread builds and parses the command line;
// the validators are immutable after construction and borrow nothing.
#pragma once

#include <CLI/CLI.hpp>

namespace travik_tool {

// HOST, HOST:PORT or tls://HOST[:PORT] (port 1..65535).
const CLI::Validator& TargetCheck();
// WIDTHxHEIGHT, each 1..16384.
const CLI::Validator& SizeCheck();
// An image channel of the library's rule, 0..kImageChannels-1.
const CLI::Validator& ChannelCheck();
// An address literal to listen on (IsAddressLiteral).
const CLI::Validator& BindCheck();
// ADDR:PORT with an IP address (ParseHttpAddress).
const CLI::Validator& HttpCheck();
// A video bitrate (ParseBitrate).
const CLI::Validator& BitrateCheck();

}  // namespace travik_tool
