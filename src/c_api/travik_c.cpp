// The C interface: thin wrappers over the process-wide TravikMgr. The handle
// is the manager itself behind an opaque type; callbacks are wrapped in the
// manager's std::function callbacks and run on its loop threads.
//
// No C++ exception may cross into a C caller (it would end the process), so
// every entry point that can throw (allocation, thread creation) turns it
// into its failure value.
#include "travik/travik_c.h"

#include <memory>
#include <new>
#include <string>

#include "travik/travik.h"

struct travik_bytes {
    std::shared_ptr<unsigned char> data;
    int len = 0;
};

namespace {

// The manager when `h` is the handle travik_get() hands out, else null: a
// stray pointer is refused instead of being used as a manager.
TravikMgr* Mgr(travik_handle* h) {
    if (!h) return nullptr;
    TravikMgr* mgr = Singleton<TravikMgr>::GetInstance();
    return reinterpret_cast<travik_handle*>(mgr) == h ? mgr : nullptr;
}

bool PortInRange(int port) { return port >= 0 && port <= 65535; }

// The image being lent to a callback on this thread, so that
// travik_image_keep can tell a live image from a stale copy of one.
struct LentImage {
    std::shared_ptr<unsigned char>* data = nullptr;
    int len = 0;
};
thread_local LentImage* t_lent = nullptr;

// Lends `lent` for one callback on this thread; restored even if the callback
// throws (a C++ host may register through this interface too).
class LendScope {
public:
    explicit LendScope(LentImage* lent) : m_outer(t_lent) { t_lent = lent; }
    ~LendScope() { t_lent = m_outer; }
    LendScope(const LendScope&) = delete;
    LendScope& operator=(const LendScope&) = delete;

private:
    LentImage* m_outer;
};

template <class Fn>
int Guarded(Fn&& fn) {
    try {
        return fn();
    } catch (...) {
        return -1;
    }
}

}  // namespace

extern "C" {

travik_handle* travik_get(void) {
    try {
        return reinterpret_cast<travik_handle*>(Singleton<TravikMgr>::GetInstance());
    } catch (...) {
        return nullptr;
    }
}

int travik_listen(travik_handle* h, int port) {
    TravikMgr* mgr = Mgr(h);
    if (!mgr || !PortInRange(port)) return -1;
    return Guarded([&] { return mgr->Listen(port); });
}

int travik_listen_on(travik_handle* h, const char* address, int port) {
    TravikMgr* mgr = Mgr(h);
    if (!mgr || !PortInRange(port)) return -1;
    return Guarded([&] { return mgr->Listen(address, port); });
}

int travik_set_tls(travik_handle* h, const travik_tls* tls) {
    TravikMgr* mgr = Mgr(h);
    if (!mgr) return -1;
    return Guarded([&] {
        TravikTls settings;
        if (tls) {
            auto text = [](const char* s) { return std::string(s ? s : ""); };
            settings.certFile = text(tls->cert_file);
            settings.keyFile = text(tls->key_file);
            settings.caFile = text(tls->ca_file);
            settings.serverName = text(tls->server_name);
        }
        return mgr->SetTls(settings);
    });
}

int travik_tls_available(void) { return TravikMgr::TlsAvailable(); }

int travik_connect(travik_handle* h, const char* ip, int port) {
    TravikMgr* mgr = Mgr(h);
    if (!mgr || !ip || !PortInRange(port)) return -1;
    return Guarded([&] {
        std::string copy(ip);  // Connect takes a mutable string it does not change
        return mgr->Connect(&copy[0], port);
    });
}

int travik_release(travik_handle* h) {
    TravikMgr* mgr = Mgr(h);
    return mgr ? Guarded([&] { return mgr->Release(); }) : -1;
}

int travik_is_connected(travik_handle* h) {
    TravikMgr* mgr = Mgr(h);
    return mgr ? mgr->IsConnected() : 0;
}

int travik_send_log(travik_handle* h, const char* text) {
    TravikMgr* mgr = Mgr(h);
    if (!mgr || !text) return -1;
    // SendLogInfo only reads the text.
    return Guarded([&] { return mgr->SendLogInfo(const_cast<char*>(text), 0); });
}

int travik_send_image(travik_handle* h, int attr1, int attr2, int attr3, int attr4, int attr5,
                      const unsigned char* data, int len, unsigned long long tag) {
    TravikMgr* mgr = Mgr(h);
    if (!mgr) return -1;
    // SendImageData copies the bytes and never writes to them.
    return Guarded([&] {
        return mgr->SendImageData(attr1, attr2, attr3, attr4, attr5, const_cast<unsigned char*>(data), len, tag);
    });
}

int travik_set_compression(travik_handle* h, int level, int threads) {
    TravikMgr* mgr = Mgr(h);
    return mgr ? mgr->SetCompression(level, threads) : -1;
}

int travik_send_cmd(travik_handle* h, int log_switch, int image_switch, const int* image_switches, int send_interval) {
    TravikMgr* mgr = Mgr(h);
    if (!mgr) return -1;
    int switches[4];
    int* p = nullptr;
    if (image_switches) {
        for (int i = 0; i < 4; ++i) switches[i] = image_switches[i];
        p = switches;
    }
    return Guarded([&] { return mgr->SendCmd(log_switch, image_switch, p, send_interval); });
}

int travik_set_log_cb(travik_handle* h, travik_log_fn fn, void* user) {
    TravikMgr* mgr = Mgr(h);
    if (!mgr) return -1;
    return Guarded([&] {
        if (!fn) return mgr->SetLogCb(nullptr);
        return mgr->SetLogCb([fn, user](std::string& text) { fn(user, text.c_str(), text.size()); });
    });
}

int travik_set_image_cb(travik_handle* h, travik_image_fn fn, void* user) {
    TravikMgr* mgr = Mgr(h);
    if (!mgr) return -1;
    return Guarded([&] {
        if (!fn) return mgr->SetImageCb(nullptr);
        return mgr->SetImageCb([fn, user](int a1, int a2, int a3, int a4, int a5, std::shared_ptr<unsigned char>& data,
                                          int len, unsigned long long tag) {
            LentImage lent{&data, len};
            LendScope scope(&lent);
            travik_image image{a1, a2, a3, a4, a5, data.get(), len, tag, &lent};
            fn(user, &image);
        });
    });
}

travik_bytes* travik_image_keep(const travik_image* image) {
    // Only the image lent right now on this thread: a copy of the struct kept
    // past its callback points at a record that no longer exists. The bytes
    // and length come from the record, never from the caller's struct.
    LentImage* lent = t_lent;
    if (!image || !lent || image->internal != lent || image->data != lent->data->get()) return nullptr;
    auto* kept = new (std::nothrow) travik_bytes;
    if (!kept) return nullptr;
    kept->data = *lent->data;
    kept->len = lent->len;
    return kept;
}

const unsigned char* travik_bytes_data(const travik_bytes* bytes) { return bytes ? bytes->data.get() : nullptr; }

int travik_bytes_len(const travik_bytes* bytes) { return bytes ? bytes->len : 0; }

void travik_bytes_free(travik_bytes* bytes) { delete bytes; }

}  // extern "C"
