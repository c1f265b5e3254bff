// Certificates for the TLS tests (a CA, a device certificate for localhost
// and 127.0.0.1, a viewer certificate, another CA and a stranger's
// certificate it signed), made by make_test_certs.sh with the openssl
// command, in a temporary directory that goes with the object. Nothing is
// checked in. On Linux the constructor runs the script; a Windows process
// cannot start it, so there ctest's fixture (tests/CMakeLists.txt) runs it
// on the build machine before the tests and the constructor copies its
// folder: both systems then read the same files the same way.
// Contract: any one thread; the constructor blocks while openssl runs or
// the files are copied.
#pragma once

#include <string>

namespace travik_test {

class TestCerts {
public:
    TestCerts();
    ~TestCerts();
    TestCerts(const TestCerts&) = delete;
    TestCerts& operator=(const TestCerts&) = delete;
    // False when the certificates could not be made or found; Why() says which.
    bool ok() const { return m_why.empty(); }
    const std::string& Why() const { return m_why; }
    // Path of NAME in the directory: "ca.pem", "device.key", "other-ca.pem", ...
    std::string File(const std::string& name) const { return m_dir + "/" + name; }

private:
    std::string m_dir;
    std::string m_why;
};

}  // namespace travik_test
