/* Device-side probe: runs each argument through system(), in order, and
 * prints the value system() returned for it, one decimal number per line.
 * It is what the device program does with its command texts, without the
 * rest of the device program. */
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        int status = system(argv[i]);
        printf("%d\n", status);
        fflush(stdout);
    }
    return 0;
}
