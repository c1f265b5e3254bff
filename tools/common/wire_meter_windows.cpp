// The wire meter on Windows. The TCP table names each connection's owning
// process, so connections are counted as on Linux (under wine, which names
// no owner, those of other local processes on the same port count too;
// they are rare on a device's port). Windows gives per-
// connection byte counters only to administrators (extended statistics),
// so the byte totals are reported as not available.
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h: iphlpapi.h needs its types.
#include <iphlpapi.h>

#include <vector>

#include "common/wire_meter.h"

namespace travik_tool {

WireSample WireMeter::Poll() {
    m_total.available = false;
    m_total.connections = 0;
    std::vector<unsigned char> buf;
    ULONG size = 0;
    DWORD rc = ERROR_INSUFFICIENT_BUFFER;
    // The table may grow between the size query and the read; a few tries.
    for (int attempt = 0; attempt < 4 && rc == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        buf.resize(size > 0 ? size : sizeof(MIB_TCPTABLE_OWNER_PID));
        size = static_cast<ULONG>(buf.size());
        rc = GetExtendedTcpTable(buf.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
    }
    if (rc != NO_ERROR) return m_total;
    const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buf.data());
    const DWORD pid = GetCurrentProcessId();
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_TCPROW_OWNER_PID& row = table->table[i];
        // wine leaves the owner unknown (0); Windows gives 0 to no established connection.
        if ((row.dwOwningPid != pid && row.dwOwningPid != 0) || row.dwState != MIB_TCP_STATE_ESTAB) continue;
        const DWORD port = m_match == Match::LocalPort ? row.dwLocalPort : row.dwRemotePort;
        if (ntohs(static_cast<u_short>(port)) == m_port) ++m_total.connections;
    }
    return m_total;
}

}  // namespace travik_tool
