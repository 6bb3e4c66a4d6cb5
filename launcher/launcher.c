// camwatch's front door. Loading the program's libraries (OpenCV, Qt, FFmpeg: over 150 of them)
// takes the dynamic linker about a tenth of a second before any of the program's code runs; a
// stop signal in that window would end it by the signal's default action (status 143). This
// small program, which loads nothing but the C library, blocks the stop signals first and then
// becomes the program proper (camwatch-main, beside it or in ../lib/camwatch). The blocked mask
// survives exec, so such a signal waits until the program reads it and stops in order.
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
    (void)argc;
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGHUP);
    sigprocmask(SIG_BLOCK, &stop, NULL);

    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        fprintf(stderr, "camwatch: cannot find its own folder: %s\n", strerror(errno));
        return 1;
    }
    self[n] = '\0';
    char* slash = strrchr(self, '/');
    slash[1] = '\0';
    const char* places[] = {"camwatch-main", "../lib/camwatch/camwatch-main"};
    int error = 0;
    for (size_t i = 0; i < sizeof places / sizeof places[0]; ++i) {
        char path[PATH_MAX + 64];
        snprintf(path, sizeof path, "%s%s", self, places[i]);
        execv(path, argv);
        if (error == 0 || errno != ENOENT) error = errno;
    }
    fprintf(stderr, "camwatch: cannot start camwatch-main from %s: %s\n", self, strerror(error));
    return 1;
}
