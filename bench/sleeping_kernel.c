/* The kernel every supervisor watches in the benchmark: it appends its
 * monotonic start time and process id to "kernel.log" in its working
 * directory, then sleeps until it is killed. Small and static, so that its
 * own start costs next to nothing.
 *
 * With an argument MS it wakes up every MS milliseconds instead: the least a
 * program woken that often costs, to calibrate the CPU figures against.
 */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char* argv[]) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    FILE* log = fopen("kernel.log", "a");
    if (log != NULL) {
        fprintf(log,
                "{\"mono_ns\": %lld, \"pid\": %d}\n",
                (long long)now.tv_sec * 1000000000LL + now.tv_nsec,
                (int)getpid());
        fclose(log);
    }
    if (argc < 2) {
        for (;;) pause();
    }
    const long ms = atol(argv[1]);
    const struct timespec period = {ms / 1000, (ms % 1000) * 1000000L};
    for (;;) nanosleep(&period, NULL);
}
