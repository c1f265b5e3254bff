// What TLS costs: image throughput of a TLS device against the same device in
// plain TCP, both read by library viewers (which decrypt and inflate, as a
// real viewer does), and full TLS connects per second.
#pragma once

#include <string>

#include "travik_bench/results.h"
#include "travik_bench/workload.h"

namespace travik_bench {

// A throwaway CA with a device certificate for 127.0.0.1 and a viewer
// certificate, made with the openssl command; removed with the object.
class BenchPki {
public:
    BenchPki();
    ~BenchPki();
    bool ok() const { return m_ok; }
    const std::string& dir() const { return m_dir; }

private:
    std::string m_dir;
    bool m_ok = false;
};

void MeasureTlsImages(const FrameShape& shape, int viewers, const BenchPki* pki, const Timing& t, Results& results);
void MeasureTlsConnects(const BenchPki* pki, const Timing& t, Results& results);

}  // namespace travik_bench
