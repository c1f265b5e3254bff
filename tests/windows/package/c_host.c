/* A Visual Studio user's first program, built only from the Windows zip's
 * include/ and lib/travik.lib: connects to a device as a viewer, asks for
 * logs and channel 0, and exits 0 once it has received a log line and an
 * image (1 after the deadline).
 *
 *   c_host.exe PORT */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include <travik/travik_c.h>

static volatile LONG g_logs;
static volatile LONG g_images;

static void on_log(void* user, const char* text, size_t len) {
    (void)user;
    (void)text;
    (void)len;
    InterlockedIncrement(&g_logs);
}

static void on_image(void* user, const travik_image* image) {
    (void)user;
    if (image->len > 0) InterlockedIncrement(&g_images);
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: c_host PORT\n");
        return 2;
    }
    int port = atoi(argv[1]);
    travik_handle* h = travik_get();
    /* The device may still be starting: retry for up to a minute. */
    int connected = 0;
    for (int i = 0; i < 120 && !connected; ++i) {
        if (travik_connect(h, "127.0.0.1", port) == 0 && travik_is_connected(h)) {
            connected = 1;
            break;
        }
        travik_release(h);
        Sleep(500);
    }
    if (!connected) {
        fprintf(stderr, "c_host: no device on port %d\n", port);
        return 1;
    }
    travik_set_log_cb(h, on_log, NULL);
    travik_set_image_cb(h, on_image, NULL);
    int channels[4] = {1, 2, 2, 2};
    travik_send_cmd(h, 1, 1, channels, 1);
    for (int i = 0; i < 1200 && (g_logs == 0 || g_images == 0); ++i) Sleep(100);
    printf("c_host: %ld logs, %ld images\n", (long)g_logs, (long)g_images);
    travik_release(h);
    return g_logs > 0 && g_images > 0 ? 0 : 1;
}
