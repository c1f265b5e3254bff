/* travik's C interface: the same process-wide manager as travik.h, reachable
 * from C and from any language or compiler that can call a C function in a
 * shared library (MSVC, C#, LabVIEW, Python's ctypes, ...).
 *
 * Threads, blocking and return values are those of the matching TravikMgr
 * member in travik.h. Every function takes the handle from travik_get();
 * NULL or any other pointer is refused (-1, or 0 from travik_is_connected).
 * No function lets a C++ exception out: a failure inside (out of memory, no
 * thread) is its -1 or NULL. Callbacks run on the library's event-loop
 * thread and must return quickly; one may call travik_release(), which then
 * does not wait for that callback, and the send functions. travik_listen,
 * travik_listen_on, travik_connect, travik_release, travik_set_tls and the
 * travik_set_*_cb functions are for one thread at a time, a callback
 * counting as one. Strings must be
 * NUL-terminated. */
#ifndef TRAVIK_TRAVIK_C_H
#define TRAVIK_TRAVIK_C_H

#include <stddef.h>

#if defined(TRAVIK_STATIC)
#define TRAVIK_C_API
#elif defined(_WIN32)
#if defined(TRAVIK_BUILDING)
#define TRAVIK_C_API __declspec(dllexport)
#else
#define TRAVIK_C_API __declspec(dllimport)
#endif
#else
#define TRAVIK_C_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The manager. Never freed by the host: travik_release() stops it. */
typedef struct travik_handle travik_handle;

/* A received image as lent to the image callback: `data` is valid only until
 * the callback returns. To keep the bytes longer, call travik_image_keep(). */
typedef struct travik_image {
    int attr1, attr2, attr3, attr4, attr5;
    const unsigned char* data;
    int len;
    unsigned long long tag;
    const void* internal; /* the library's; used by travik_image_keep */
} travik_image;

/* Bytes kept beyond the callback; freed by travik_bytes_free(). */
typedef struct travik_bytes travik_bytes;

/* `text` is NUL-terminated and valid until the callback returns; `len` is
 * its length without the NUL. */
typedef void (*travik_log_fn)(void* user, const char* text, size_t len);
typedef void (*travik_image_fn)(void* user, const travik_image* image);

/* The process-wide manager; never NULL. Any thread. */
TRAVIK_C_API travik_handle* travik_get(void);

/* Device side: 0 when listening on `port` 0..65535 (0: the system picks;
 * all IPv4 addresses), -1 when out of range or it could not be bound. While
 * already listening it keeps the first port and returns 0. */
TRAVIK_C_API int travik_listen(travik_handle* h, int port);
/* As travik_listen, on one local address: dotted IPv4 or an IPv6 literal;
 * NULL or "" means all IPv4 addresses. -1 when the address is not a literal
 * or cannot be bound. */
TRAVIK_C_API int travik_listen_on(travik_handle* h, const char* address, int port);

/* TLS settings: PEM file paths, NULL or "" = unset; meanings as TravikTls in
 * travik.h. */
typedef struct travik_tls {
    const char* cert_file;
    const char* key_file;
    const char* ca_file;
    const char* server_name;
} travik_tls;
/* Either side, before listen/connect: later calls use TLS with these files;
 * NULL turns TLS off (plain, the default). -1 and nothing changed when built
 * without TLS or the settings are inconsistent. */
TRAVIK_C_API int travik_set_tls(travik_handle* h, const travik_tls* tls);
/* 1 when the library was built with TLS, else 0. */
TRAVIK_C_API int travik_tls_available(void);
/* Viewer side: 0 when connected to the device at dotted IPv4 `ip` and `port`
 * (1..65535), else -1. */
TRAVIK_C_API int travik_connect(travik_handle* h, const char* ip, int port);
/* Stops both sides; no callback starts after it returns. 0, or -1 for NULL. */
TRAVIK_C_API int travik_release(travik_handle* h);
/* 1 while connected (viewer) or while a viewer is connected (device). */
TRAVIK_C_API int travik_is_connected(travik_handle* h);

/* Device side, any thread, non-blocking: stage NUL-terminated log text. */
TRAVIK_C_API int travik_send_log(travik_handle* h, const char* text);
/* Device side, any thread: copies `len` bytes of `data` and stages them. */
TRAVIK_C_API int travik_send_image(travik_handle* h, int attr1, int attr2, int attr3, int attr4, int attr5,
                                   const unsigned char* data, int len, unsigned long long tag);
/* Device side: compression level 1..9 and thread count 0..32. */
TRAVIK_C_API int travik_set_compression(travik_handle* h, int level, int threads);

/* Viewer side, any thread: switches 1 = on, 2 = off, other = keep;
 * `image_switches` points at 4 ints or is NULL; interval in ms, < 1 keeps. */
TRAVIK_C_API int travik_send_cmd(travik_handle* h, int log_switch, int image_switch, const int* image_switches,
                                 int send_interval);

/* Viewer side: register a callback (NULL unregisters) with its `user`
 * argument, passed back unchanged. The first registered after
 * travik_connect() starts delivery. 0, or -1 for a NULL handle. */
TRAVIK_C_API int travik_set_log_cb(travik_handle* h, travik_log_fn fn, void* user);
TRAVIK_C_API int travik_set_image_cb(travik_handle* h, travik_image_fn fn, void* user);

/* From inside the image callback only, on its thread, with the `image` it
 * was given (or a copy of it): keeps the image's bytes (no copy) until
 * travik_bytes_free(). NULL when out of memory, `image` is NULL, or the image
 * is no longer lent (called after its callback returned). */
TRAVIK_C_API travik_bytes* travik_image_keep(const travik_image* image);
TRAVIK_C_API const unsigned char* travik_bytes_data(const travik_bytes* bytes);
TRAVIK_C_API int travik_bytes_len(const travik_bytes* bytes);
/* Any thread, also after travik_release(); once per kept bytes; NULL is
 * ignored. */
TRAVIK_C_API void travik_bytes_free(travik_bytes* bytes);

#ifdef __cplusplus
}
#endif

#endif /* TRAVIK_TRAVIK_C_H */
