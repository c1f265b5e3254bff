/* A host near its descriptor limit: travik_listen and travik_connect fail
 * with -1 (or succeed) but never end the process. Each limit is tried in a
 * child process, from plenty of free descriptors down to none, so that every
 * point where the library runs out is met. */
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "travik/travik_c.h"

/* The sanitizers' own checks need descriptors, so they cannot run here. */
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TRAVIK_SANITIZED 1
#endif

/* The child: exits 0 when both calls returned a documented value. */
static int try_limit(rlim_t limit) {
    struct rlimit rl = {limit, limit};
    travik_handle* h = travik_get();
    int listened, connected;
    if (setrlimit(RLIMIT_NOFILE, &rl) != 0) return 3;
    listened = travik_listen(h, 0);
    connected = travik_connect(h, "127.0.0.1", 1);
    travik_release(h);
    return (listened == 0 || listened == -1) && connected == -1 ? 0 : 2;
}

int main(void) {
    rlim_t lowest;
    int failures = 0;
#ifdef TRAVIK_SANITIZED
    printf("skipped: the sanitizers need free descriptors themselves\n");
    return 0;
#endif
    /* The lowest free descriptor: limits from there up to 16 more. */
    lowest = (rlim_t)dup(0);
    if (lowest == (rlim_t)-1) lowest = 3;
    else close((int)lowest);
    for (rlim_t extra = 0; extra <= 16; ++extra) {
        int status = 0;
        pid_t pid = fork();
        if (pid == 0) _exit(try_limit(lowest + extra));
        if (pid < 0 || waitpid(pid, &status, 0) != pid) return 1;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fprintf(stderr, "limit %d free: child ended with status %d\n", (int)extra, status);
            ++failures;
        }
    }
    if (failures) return 1;
    printf("fd limit ok\n");
    return 0;
}
