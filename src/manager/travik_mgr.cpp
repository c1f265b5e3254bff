// Construction, Listen, Connect, Release and the callback registration.
#include <cstdio>

#include "manager/compress_settings.h"
#include "manager/manager_internal.h"
#include "manager/spare_log_text.h"
#include "transport/tls_context.h"

namespace travik {

std::shared_ptr<Travik> ServerOf(TravikMgr& mgr) {
    std::lock_guard<std::mutex> lock(mgr.m_transportMutex);
    return mgr.m_server;
}

std::shared_ptr<Travik> ClientOf(TravikMgr& mgr) {
    std::lock_guard<std::mutex> lock(mgr.m_transportMutex);
    return mgr.m_client;
}

int ListeningPort(TravikMgr& mgr) {
    std::shared_ptr<Travik> server = ServerOf(mgr);
    return server ? server->BoundPort() : 0;
}

int ViewerCount(TravikMgr& mgr) {
    std::shared_ptr<Travik> server = ServerOf(mgr);
    return server ? server->ConnectionCount() : 0;
}

long long AcceptFailures(TravikMgr& mgr) {
    std::shared_ptr<Travik> server = ServerOf(mgr);
    return server ? server->AcceptFailures() : 0;
}

namespace {

void InstallReceivePath(TravikMgr& mgr, Travik& transport, int maxFrameLen) {
    TravikMgr* self = &mgr;
    transport.SetReadCb([self, maxFrameLen](unsigned long long connId, std::shared_ptr<unsigned char>& data, int len) {
        ReceiveChunk(*self, connId, data, len, maxFrameLen);
    });
    transport.SetCloseCb([self](unsigned long long connId) { DropConnectionState(*self, connId); });
}

// An endpoint's transport is made on first use and reused afterwards.
std::shared_ptr<Travik> EnsureTransport(TravikMgr& mgr, std::shared_ptr<Travik>& slot) {
    std::lock_guard<std::mutex> lock(mgr.m_transportMutex);
    if (!slot) slot = MakeTravikObj();
    return slot;
}

// Ends an endpoint: no chunk is handed to the manager any more, the loop is
// asked to stop, and its thread is waited for unless it is the caller (a
// host callback calling Release), which must not wait for itself.
void StopAndWait(const std::shared_ptr<Travik>& transport) {
    if (!transport) return;
    transport->SetReadCb(nullptr);
    transport->Stop();
    if (!transport->OnLoopThread()) transport->WaitStopped(kReleaseWaitMs);
}

}  // namespace
}  // namespace travik

using namespace travik;

TravikMgr::TravikMgr()
    : m_compressPool(std::make_shared<CompressPool>()), m_spareLogText(std::make_shared<SpareLogText>()) {}

// A host is expected to call Release first; doing it here as well keeps a
// host that forgot from having library threads run on a destroyed manager.
TravikMgr::~TravikMgr() { Release(); }

int TravikMgr::Listen(int port) { return Listen(nullptr, port); }

int TravikMgr::Listen(const char* address, int port) {
    // The files are read before anything starts: a TLS device that cannot
    // serve TLS does not listen at all.
    std::shared_ptr<TlsContext> tls;
    if (TlsRequested(m_tls) && !(tls = MakeDeviceTls(m_tls))) return -1;
    std::shared_ptr<Travik> server = EnsureTransport(*this, m_server);
    m_exit.exchange(false);
    m_dataReady.exchange(false);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_images.assign(kImageChannels, SendImageSt{});
        m_logCredit = 0;  // granted by an earlier transport
    }
    m_sendInterval = 200;
    for (int i = 0; i < kImageChannels; ++i) {
        m_sendImagesOnOff[i] = 1;
        m_lastSendTime[i] = 0;
    }
    InstallReceivePath(*this, *server, kMaxFrameFromViewer);
    if (server->ListenOn(address, port, std::move(tls)) != 0) {
        server->WaitStopped(kReleaseWaitMs);
        std::lock_guard<std::mutex> lock(m_transportMutex);
        if (m_server == server) m_server.reset();
        return -1;
    }
    ApplyCompressionEnvironment(*this);
    m_compressPool->Start(WorkersFor(m_compressThreads.load()));
    if (!m_sendThread.joinable()) m_sendThread = std::thread(&TravikMgr::ThreadSendInfo, this);
    return 0;
}

int TravikMgr::Connect(char* ip, int port) {
    std::shared_ptr<Travik> client = EnsureTransport(*this, m_client);
    m_exit.exchange(false);
    m_dataReady.exchange(false);
    if (!ip) return -1;
    std::shared_ptr<TlsContext> tls;
    if (TlsRequested(m_tls) && !(tls = MakeViewerTls(m_tls, ip))) return -1;
    return client->ConnectWith(ip, port, std::move(tls));
}

int TravikMgr::Release() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_exit.load()) {
            m_exit.exchange(true);
            m_cond.notify_all();
        }
        m_logText.clear();
        m_images.clear();
    }
    std::shared_ptr<Travik> server;
    std::shared_ptr<Travik> client;
    {
        std::lock_guard<std::mutex> lock(m_transportMutex);
        server.swap(m_server);
        client.swap(m_client);
    }
    if (m_sendThread.joinable()) {
        if (m_sendThread.get_id() == std::this_thread::get_id()) {
            m_sendThread.detach();
        } else {
            m_sendThread.join();
        }
    }
    m_compressPool->Stop();
    m_logInFlight = 0;  // the send thread and workers are done with their frames
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_logCredit = 0;
    }
    StopAndWait(server);
    StopAndWait(client);
    {
        std::lock_guard<std::mutex> lock(m_recvMutex);
        m_recvFragments.clear();
        m_recvLogText.clear();
        ++m_recvGeneration;
    }
    m_readCbSet = 0;
    return 0;
}

namespace {
template <class Cb>
void SetCallback(TravikMgr& mgr, Cb& slot, Cb cb) {
    {
        std::lock_guard<std::mutex> lock(mgr.m_recvMutex);
        slot = std::move(cb);
    }
    std::shared_ptr<Travik> client = ClientOf(mgr);
    if (client && mgr.m_readCbSet == 0) {
        InstallReceivePath(mgr, *client, kMaxFrameLen);
        mgr.m_readCbSet = 1;
    }
}
}  // namespace

int TravikMgr::SetLogCb(TravikLogCb cb) {
    SetCallback(*this, m_logCb, std::move(cb));
    return 0;
}

int TravikMgr::SetImageCb(TravikImageCb cb) {
    SetCallback(*this, m_imageCb, std::move(cb));
    return 0;
}

void TravikMgr::ThreadReadInfo() {}

int TravikMgr::IsConnected() {
    std::shared_ptr<Travik> client = ClientOf(*this);
    std::shared_ptr<Travik> server = ServerOf(*this);
    bool up = (client && client->IsEmpty() == 0) || (server && server->IsEmpty() == 0);
    return up ? 1 : 0;
}
