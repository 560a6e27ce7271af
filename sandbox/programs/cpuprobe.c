/* Device-side probe: prints the kernel release that uname reports and the
 * CPU platform the kernel (or the emulator) announces to the program
 * (AT_PLATFORM, e.g. "v5l" for an ARMv5 core), on one line. */
#include <stdio.h>
#include <sys/auxv.h>
#include <sys/utsname.h>

int main(void) {
    struct utsname name;
    const char* platform = (const char*)getauxval(AT_PLATFORM);
    if (uname(&name) != 0) {
        return 1;
    }
    printf("%s %s\n", name.release, platform != NULL ? platform : "-");
    return 0;
}
