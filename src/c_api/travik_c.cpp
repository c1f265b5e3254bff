// The C interface: thin wrappers over the process-wide TravikMgr. The handle
// is the manager itself behind an opaque type; callbacks are wrapped in the
// manager's std::function callbacks and run on its loop threads.
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

TravikMgr* Mgr(travik_handle* h) { return reinterpret_cast<TravikMgr*>(h); }

}  // namespace

extern "C" {

travik_handle* travik_get(void) { return reinterpret_cast<travik_handle*>(Singleton<TravikMgr>::GetInstance()); }

int travik_listen(travik_handle* h, int port) { return h ? Mgr(h)->Listen(port) : -1; }

int travik_connect(travik_handle* h, const char* ip, int port) {
    if (!h || !ip) return -1;
    std::string copy(ip);  // Connect takes a mutable string it does not change
    return Mgr(h)->Connect(&copy[0], port);
}

int travik_release(travik_handle* h) { return h ? Mgr(h)->Release() : -1; }

int travik_is_connected(travik_handle* h) { return h ? Mgr(h)->IsConnected() : 0; }

int travik_send_log(travik_handle* h, const char* text) {
    if (!h || !text) return -1;
    // SendLogInfo only reads the text.
    return Mgr(h)->SendLogInfo(const_cast<char*>(text), 0);
}

int travik_send_image(travik_handle* h, int attr1, int attr2, int attr3, int attr4, int attr5,
                      const unsigned char* data, int len, unsigned long long tag) {
    if (!h) return -1;
    // SendImageData copies the bytes and never writes to them.
    return Mgr(h)->SendImageData(attr1, attr2, attr3, attr4, attr5, const_cast<unsigned char*>(data), len, tag);
}

int travik_set_compression(travik_handle* h, int level, int threads) {
    return h ? Mgr(h)->SetCompression(level, threads) : -1;
}

int travik_send_cmd(travik_handle* h, int log_switch, int image_switch, const int* image_switches, int send_interval) {
    if (!h) return -1;
    int switches[4];
    int* p = nullptr;
    if (image_switches) {
        for (int i = 0; i < 4; ++i) switches[i] = image_switches[i];
        p = switches;
    }
    return Mgr(h)->SendCmd(log_switch, image_switch, p, send_interval);
}

int travik_set_log_cb(travik_handle* h, travik_log_fn fn, void* user) {
    if (!h) return -1;
    if (!fn) return Mgr(h)->SetLogCb(nullptr);
    return Mgr(h)->SetLogCb([fn, user](std::string& text) { fn(user, text.c_str(), text.size()); });
}

int travik_set_image_cb(travik_handle* h, travik_image_fn fn, void* user) {
    if (!h) return -1;
    if (!fn) return Mgr(h)->SetImageCb(nullptr);
    return Mgr(h)->SetImageCb([fn, user](int a1, int a2, int a3, int a4, int a5, std::shared_ptr<unsigned char>& data,
                                         int len, unsigned long long tag) {
        travik_image image{a1, a2, a3, a4, a5, data.get(), len, tag, &data};
        fn(user, &image);
    });
}

travik_bytes* travik_image_keep(const travik_image* image) {
    if (!image || !image->internal) return nullptr;
    auto* kept = new (std::nothrow) travik_bytes;
    if (!kept) return nullptr;
    kept->data = *static_cast<const std::shared_ptr<unsigned char>*>(image->internal);
    kept->len = image->len;
    return kept;
}

const unsigned char* travik_bytes_data(const travik_bytes* bytes) { return bytes ? bytes->data.get() : nullptr; }

int travik_bytes_len(const travik_bytes* bytes) { return bytes ? bytes->len : 0; }

void travik_bytes_free(travik_bytes* bytes) { delete bytes; }

}  // extern "C"
