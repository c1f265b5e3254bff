/* The C interface from a C program: a busy port, a port out of range and a
 * pointer that is not the handle are refused, then one process is device and
 * viewer at once over loopback; a log line and an image go through, the
 * callbacks get their user argument, image bytes kept with travik_image_keep
 * outlive the callback and travik_release, and a copy of the lent image can
 * no longer be kept once its callback returned. */
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "travik/travik_c.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
typedef SOCKET raw_socket;
#define close_raw closesocket
static void sleep_ms(int ms) { Sleep((DWORD)ms); }
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
typedef int raw_socket;
#define close_raw close
static void sleep_ms(int ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, NULL);
}
#endif

#define CHECK(cond)                                                     \
    do {                                                                \
        if (!(cond)) {                                                  \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
            exit(1);                                                    \
        }                                                               \
    } while (0)

struct received {
    atomic_int logs;
    atomic_int images;
    atomic_int bad_user;
    char text[64];                /* first log text, written before `logs` is raised */
    travik_image first;           /* first image's fields */
    travik_bytes* _Atomic kept;   /* its bytes */
};

static void on_log(void* user, const char* text, size_t len) {
    struct received* r = (struct received*)user;
    if (atomic_load(&r->logs) == 0 && len < sizeof r->text) memcpy(r->text, text, len + 1);
    atomic_fetch_add(&r->logs, 1);
}

static void on_image(void* user, const travik_image* image) {
    struct received* r = (struct received*)user;
    if (atomic_load(&r->kept) == NULL) {
        r->first = *image;
        atomic_store(&r->kept, travik_image_keep(image));
    }
    atomic_fetch_add(&r->images, 1);
}

static void on_log_wrong_user(void* user, const char* text, size_t len) {
    (void)text;
    (void)len;
    if (user != NULL) atomic_fetch_add(&((struct received*)user)->bad_user, 1);
}

/* A listening socket on a port the system picks; its port in *port. */
static raw_socket listen_raw(int* port) {
    struct sockaddr_in sin;
    socklen_t len = sizeof sin;
    raw_socket s = socket(AF_INET, SOCK_STREAM, 0);
    memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    CHECK(bind(s, (struct sockaddr*)&sin, sizeof sin) == 0);
    CHECK(listen(s, 4) == 0);
    CHECK(getsockname(s, (struct sockaddr*)&sin, &len) == 0);
    *port = ntohs(sin.sin_port);
    return s;
}

static int scaled_ms(int ms) {
    const char* scale = getenv("TRAVIK_TEST_TIME_SCALE");
    double f = scale ? atof(scale) : 1.0;
    return f > 1.0 ? (int)(ms * f) : ms;
}

int main(void) {
    static struct received r;
    static const unsigned char pixels[6] = {1, 2, 3, 250, 251, 252};
    travik_handle* h = travik_get();
    int port = 0, waited;
    raw_socket blocker;
#if defined(_WIN32)
    WSADATA wsa;
    CHECK(WSAStartup(0x0202, &wsa) == 0);
#endif
    CHECK(h != NULL && h == travik_get());
    CHECK(travik_listen(NULL, 0) == -1 && travik_connect(h, NULL, 1) == -1);
    CHECK(travik_listen((travik_handle*)&r, 0) == -1 && travik_release((travik_handle*)&r) == -1);
    CHECK(travik_listen(h, -1) == -1 && travik_listen(h, 65536) == -1);

    /* An address must be a literal; TLS settings must be whole, and files
     * that cannot be read fail the listen instead of serving plain. */
    CHECK(travik_listen_on(h, "localhost", 0) == -1 && travik_listen_on(NULL, "127.0.0.1", 0) == -1);
    {
        const travik_tls half = {"device.pem", NULL, "", NULL};
        const travik_tls missing = {"/nonexistent/device.pem", "/nonexistent/device.key", NULL, NULL};
        CHECK(travik_tls_available() == 0 || travik_tls_available() == 1);
        CHECK(travik_set_tls(h, &half) == -1);
        if (travik_tls_available()) {
            CHECK(travik_set_tls(h, &missing) == 0);
            CHECK(travik_listen_on(h, "127.0.0.1", 0) == -1);
            CHECK(travik_set_tls(h, NULL) == 0);
        } else {
            CHECK(travik_set_tls(h, NULL) == -1 && travik_set_tls(h, &missing) == -1);
        }
    }

    blocker = listen_raw(&port);
    CHECK(travik_listen(h, port) == -1); /* busy */
    close_raw(blocker);
    CHECK(travik_listen_on(h, "127.0.0.1", port) == 0);

    CHECK(travik_connect(h, "127.0.0.1", port + 65536) == -1); /* not the port's low 16 bits */
    CHECK(travik_connect(h, "127.0.0.1", port) == 0);
    CHECK(travik_set_log_cb(h, on_log_wrong_user, NULL) == 0);
    CHECK(travik_set_log_cb(h, on_log, &r) == 0); /* the newer one replaces it */
    CHECK(travik_set_image_cb(h, on_image, &r) == 0);
    for (waited = 0; !travik_is_connected(h) && waited < scaled_ms(10000); waited += 10) sleep_ms(10);
    CHECK(travik_is_connected(h) == 1);

    {
        const int channels[4] = {1, 1, 1, 1};
        CHECK(travik_send_cmd(h, 1, 1, channels, 1) == 0); /* open both streams, 1 ms interval */
    }
    /* The command reaches the device asynchronously: stage until both arrive. */
    for (waited = 0; (atomic_load(&r.logs) == 0 || atomic_load(&r.images) == 0) && waited < scaled_ms(20000);
         waited += 20) {
        travik_send_log(h, "hello from C");
        travik_send_image(h, 0, 3, 2, 1, 0, pixels, (int)sizeof pixels, 0x1122334455667788ULL);
        sleep_ms(20);
    }
    CHECK(atomic_load(&r.logs) > 0 && atomic_load(&r.images) > 0);
    CHECK(atomic_load(&r.bad_user) == 0);
    CHECK(strstr(r.text, "hello from C") != NULL);
    CHECK(r.first.attr2 == 3 && r.first.attr3 == 2 && r.first.attr4 == 1);
    CHECK(r.first.len == (int)sizeof pixels && r.first.tag == 0x1122334455667788ULL);
    CHECK(travik_image_keep(&r.first) == NULL); /* its callback has returned */

    CHECK(travik_release(h) == 0);
    {
        travik_bytes* kept = atomic_load(&r.kept);
        CHECK(kept != NULL && travik_bytes_len(kept) == (int)sizeof pixels);
        CHECK(memcmp(travik_bytes_data(kept), pixels, sizeof pixels) == 0);
        travik_bytes_free(kept);
    }
    travik_bytes_free(NULL);
    printf("c api ok\n");
    return 0;
}
