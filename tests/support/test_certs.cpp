#include "support/test_certs.h"

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>

namespace travik_test {

TestCerts::TestCerts() {
    char tmpl[] = "/tmp/travik-certs-XXXXXX";
    if (!mkdtemp(tmpl)) return;
    m_dir = tmpl;
    const std::string command = "/bin/sh '" TRAVIK_MAKE_CERTS_PATH "' '" + m_dir + "' >/dev/null 2>&1";
    m_ok = std::system(command.c_str()) == 0;
}

TestCerts::~TestCerts() {
    std::error_code ignored;
    if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ignored);
}

}  // namespace travik_test
