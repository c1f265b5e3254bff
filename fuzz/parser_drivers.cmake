# The entry functions of the parser fuzz targets (parser_drivers.h), one
# static library each, built from the driver and the few tool sources
# whose parsers it reaches: the fuzz build compiles no more of the tool
# than that. Included by fuzz/CMakeLists.txt and, for the replay test, by
# tests/fuzz/CMakeLists.txt; both have travik_common, travik_foxglove and
# travik_rules by then.
find_package(ZLIB REQUIRED)
find_package(nlohmann_json 3 CONFIG REQUIRED)
find_package(Boost 1.74 REQUIRED)
find_package(OpenSSL 3 REQUIRED)
if(NOT TARGET CLI11::CLI11)
  find_package(CLI11 CONFIG REQUIRED)
endif()

set(_tools ${PROJECT_SOURCE_DIR}/tools)
set(_fuzz ${PROJECT_SOURCE_DIR}/fuzz)

# travik_fuzz_parser(NAME DRIVER SOURCES tool sources... LIBS libraries...)
function(travik_fuzz_parser name driver)
  cmake_parse_arguments(arg "" "" "SOURCES;LIBS" ${ARGN})
  set(sources ${_fuzz}/${driver})
  foreach(src ${arg_SOURCES})
    list(APPEND sources ${_tools}/${src})
  endforeach()
  add_library(${name} STATIC EXCLUDE_FROM_ALL ${sources})
  target_include_directories(${name} PUBLIC ${_fuzz} PRIVATE ${_tools})
  target_link_libraries(${name} PUBLIC travik_sanitizer PRIVATE ${arg_LIBS} travik_rules travik_warnings)
endfunction()

travik_fuzz_parser(travik_fuzz_nats nats_driver.cpp
  SOURCES nats/client/protocol.cpp nats/fleet/device_list.cpp
  LIBS travik_common ZLIB::ZLIB)
travik_fuzz_parser(travik_fuzz_websocket websocket_driver.cpp
  SOURCES foxglove_endpoint/foxglove_protocol.cpp foxglove_endpoint/foxglove_subscriptions.cpp web/protocol.cpp
  LIBS nlohmann_json::nlohmann_json)
travik_fuzz_parser(travik_fuzz_http http_driver.cpp
  SOURCES server/request_checks.cpp server/host_policy.cpp server/access_policy.cpp
  LIBS Boost::headers OpenSSL::Crypto)
travik_fuzz_parser(travik_fuzz_protobuf protobuf_driver.cpp LIBS travik_foxglove)
travik_fuzz_parser(travik_fuzz_addresses addresses_driver.cpp
  SOURCES cli/options.cpp cli/console.cpp cli/validators.cpp nats/client/target.cpp nats/client/protocol.cpp
  LIBS travik_internal travik_common CLI11::CLI11 ZLIB::ZLIB)
travik_fuzz_parser(travik_fuzz_nats_wire nats_wire_driver.cpp SOURCES nats/client/builtin/wire_parser.cpp)
