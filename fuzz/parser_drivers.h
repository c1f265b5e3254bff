// Entry functions of the fuzz targets for the tool's parsers of outside
// input, shared by the libFuzzer targets (parser_fuzz.cpp) and the unit
// test that replays their seeds. Each returns false when an invariant of
// the parser breaks (the target then aborts); the sanitizers catch the
// rest. Input layouts:
//   nats        byte 0 picks the message (mod 5): 0 image, 1 lease or
//               command, 2 status, 3 subject and log text, 4 a stream of
//               status messages into the picker's device list
//   websocket   byte 0 picks (mod 6): 0 Foxglove client text, 1 Foxglove
//               service call (binary), 2 the page's command, 3 the command
//               service's JSON, 4 the WebSocket subprotocol header, 5
//               NUL-separated Foxglove client texts into one client's
//               subscriptions
//   http        byte 0: bit 0 server bound to loopback, bit 1 TLS, bit 2 a
//               token is required, bits 3..7 the read size; then the bytes
//               a client sends
//   protobuf    byte 0 picks the decoder (mod 6): raw image, compressed
//               image, blob, log, image info, compressed video
//   addresses   the whole input as one command-line value
//   nats_wire   byte 0 mod 8: how many of the next bytes are the lengths
//               of the chunks (cycled) the rest is fed in; the rest is what
//               a server sends (an INFO's "max_payload" is set as given)
// Contract: single-threaded, like libFuzzer; no state kept between calls
// but what a target's parser keeps itself.
#pragma once

#include <cstddef>
#include <cstdint>

namespace travik_fuzz {

struct ParseResult {
    // Messages (or values) the parsers accepted: the seeds must reach past
    // the first refusal.
    uint64_t accepted = 0;
};

bool DriveNatsMessages(const uint8_t* data, size_t size, ParseResult* result);
bool DriveWebSocketMessages(const uint8_t* data, size_t size, ParseResult* result);
bool DriveHttpRequest(const uint8_t* data, size_t size, ParseResult* result);
bool DriveProtobuf(const uint8_t* data, size_t size, ParseResult* result);
bool DriveAddresses(const uint8_t* data, size_t size, ParseResult* result);
bool DriveNatsWire(const uint8_t* data, size_t size, ParseResult* result);

}  // namespace travik_fuzz
