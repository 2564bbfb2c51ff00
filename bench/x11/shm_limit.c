/* The limit of any grab over MIT-SHM: XShmGetImage of the whole screen in a loop, alone
   (COPY 0) or followed by one copy into freshly allocated memory (COPY 1: what a grab
   that hands out its own array must at least do). Prints the frames per second.
   Usage: shm_limit COPY SECONDS (DISPLAY names the server). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <time.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

int main(int argc, char** argv) {
    int copy = argc > 1 ? atoi(argv[1]) : 0;
    double seconds = argc > 2 ? atof(argv[2]) : 2.0;
    xcb_connection_t* c = xcb_connect(NULL, NULL);
    if (xcb_connection_has_error(c)) return 1;
    xcb_screen_t* s = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    size_t bytes = (size_t)s->width_in_pixels * s->height_in_pixels * 4;
    int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    void* mem = shmat(id, NULL, 0);
    xcb_shm_seg_t seg = xcb_generate_id(c);
    xcb_generic_error_t* e = xcb_request_check(c, xcb_shm_attach_checked(c, seg, id, 0));
    shmctl(id, IPC_RMID, NULL);
    if (e) return 2;
    long n = 0;
    double start = now();
    do {
        free(xcb_shm_get_image_reply(c, xcb_shm_get_image(c, s->root, 0, 0, s->width_in_pixels, s->height_in_pixels,
                                                          ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, seg, 0), NULL));
        if (copy) {
            void* out = malloc(bytes);
            memcpy(out, mem, bytes);
            ((volatile char*)out)[0];
            free(out);
        }
        ++n;
    } while (now() - start < seconds);
    printf("%.1f\n", n / (now() - start));
    xcb_disconnect(c);
    shmdt(mem);
    return 0;
}
