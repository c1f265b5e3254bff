#include "support/test_certs.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace travik_test {

namespace fs = std::filesystem;

namespace {

// A new directory under the system's temporary one; empty on failure.
// Tests of one program may run side by side: the clock and a counter make
// the name, and create_directory fails on one that exists.
std::string NewTempDir() {
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    if (ec) return {};
    const auto seed = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int i = 0; i < 100; ++i) {
        const fs::path dir = base / ("travik-certs-" + std::to_string(seed) + "-" + std::to_string(i));
        if (fs::create_directory(dir, ec)) return dir.string();
    }
    return {};
}

}  // namespace

TestCerts::TestCerts() {
    m_dir = NewTempDir();
    if (m_dir.empty()) {
        m_why = "no temporary directory for the test certificates";
        return;
    }
#if defined(TRAVIK_TEST_CERTS_DIR)
    // Made by ctest's fixture; each object has its own copy, which a test
    // may add files to.
    for (const char* name : {"ca", "other-ca", "device", "viewer", "stranger"}) {
        for (const char* ext : {".pem", ".key"}) {
            const std::string file = std::string(name) + ext;
            std::error_code ec;
            fs::copy_file(fs::path(TRAVIK_TEST_CERTS_DIR) / file, fs::path(m_dir) / file, ec);
            if (ec) {
                m_why = "no " + file +
                        " in " TRAVIK_TEST_CERTS_DIR
                        " (made by ctest's fixture travik_test_certs with the build machine's openssl; run the "
                        "test through ctest): " +
                        ec.message();
                return;
            }
        }
    }
#else
    const std::string command = "/bin/sh '" TRAVIK_MAKE_CERTS_PATH "' '" + m_dir + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) m_why = "the openssl command could not make the test certificates";
#endif
}

TestCerts::~TestCerts() {
    std::error_code ignored;
    if (!m_dir.empty()) fs::remove_all(m_dir, ignored);
}

}  // namespace travik_test
