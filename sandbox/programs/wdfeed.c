/* Test watchdog program: placed on the device as /tmp/wdfeed, it runs until
 * a signal ends it, so that "pkill -9 wdfeed" has something to stop. */
#include <unistd.h>

int main(void) {
    for (;;) {
        pause();
    }
}
