# Reads an strace log of the cleanup and prints the number of passes of the
# old-logs stage and the system calls per pass. A pass runs from one
# rotated-log unlink to the next: the measurement after the removal (sync,
# statfs), the next pass's three searches and the repeated search of the
# chosen family. The last pass is the one that finds no rotated log; it ends
# where the next stage starts a shell for its first command.
function record() {
    passes++
    total += calls
    totalStats += stats
    if (calls > max) max = calls
    if (passes == 1 || calls < min) min = calls
}
/^unlink\("\/(home\/logs|var\/log)\/[^"]*\.gz"/ {
    if (started) record()
    started = 1
    calls = 0
    stats = 0
    next
}
started && /^(clone|clone3|vfork|fork)\(/ {
    record()
    started = 0
    next
}
started && /^[a-z_0-9]+\(/ {
    calls++
    if ($0 ~ /^(newfstatat|fstatat64|stat|stat64|statx)\(/) stats++
}
END {
    if (started) record()
    if (passes == 0) {
        print "no rotated log was removed"
        exit
    }
    printf "passes %4d  syscalls/pass min %5d avg %8.1f max %5d  (stat calls avg %8.1f)\n",
           passes, min, total / passes, max, totalStats / passes
}
