/* Writes the monotonic time, in nanoseconds, to a file and then becomes the
 * given program: the moment a supervisor is exec'd.
 *
 *     exec_stamp FILE PROGRAM [ARGUMENT...]
 */
#include <stdio.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char* argv[]) {
    if (argc < 3) {
        fputs("usage: exec_stamp FILE PROGRAM [ARGUMENT...]\n", stderr);
        return 2;
    }
    FILE* stamp = fopen(argv[1], "w");
    if (stamp == NULL) return 1;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    fprintf(stamp, "%lld\n", (long long)now.tv_sec * 1000000000LL + now.tv_nsec);
    fclose(stamp);
    execv(argv[2], argv + 2);
    perror(argv[2]);
    return 127;
}
