// Certificates for the TLS tests, made afresh by make_test_certs.sh (a CA, a
// device certificate for localhost and 127.0.0.1, a viewer certificate,
// another CA and a stranger's certificate it signed) in a temporary
// directory that goes with the object. Nothing is checked in.
// Contract: any one thread; the constructor blocks while openssl runs.
#pragma once

#include <string>

namespace travik_test {

class TestCerts {
public:
    TestCerts();
    ~TestCerts();
    TestCerts(const TestCerts&) = delete;
    TestCerts& operator=(const TestCerts&) = delete;
    // False when the openssl command is missing or failed.
    bool ok() const { return m_ok; }
    // Path of NAME in the directory: "ca.pem", "device.key", "other-ca.pem", ...
    std::string File(const std::string& name) const { return m_dir + "/" + name; }

private:
    std::string m_dir;
    bool m_ok = false;
};

}  // namespace travik_test
