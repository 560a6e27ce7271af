#include "tools/common/Signals.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace qx {
namespace tools {

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

struct Entry {
    unsigned long id;
    Debris::Kind kind;
    std::string path;
    int fd;
};

// Changed only while the signals are blocked, so the handler never sees a
// half-changed list.
std::vector<Entry>& Entries() {
    static std::vector<Entry> entries;
    return entries;
}
unsigned long nextId = 1;

sigset_t HandledSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int number : kSignals) {
        sigaddset(&set, number);
    }
    return set;
}

// Newest first: a folder's files go before the folder.
extern "C" void RemoveDebris(int number) {
    const std::vector<Entry>& entries = Entries();
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        switch (entry->kind) {
            case Debris::Kind::File:
                ::unlink(entry->path.c_str());
                break;
            case Debris::Kind::Folder:
                ::rmdir(entry->path.c_str());
                break;
            case Debris::Kind::Truncated:
                (void)::ftruncate(entry->fd, 0);
                break;
        }
    }
    ::_exit(128 + number);
}

}  // namespace

void CleanUpOnSignals() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = RemoveDebris;
    action.sa_mask = HandledSignals();  // one signal at a time
    for (int number : kSignals) {
        ::sigaction(number, &action, nullptr);
    }
}

SignalBlock::SignalBlock() {
    static_assert(sizeof saved >= sizeof(sigset_t), "room for a signal mask");
    const sigset_t block = HandledSignals();
    ::sigprocmask(SIG_BLOCK, &block, reinterpret_cast<sigset_t*>(saved));
}

SignalBlock::~SignalBlock() {
    ::sigprocmask(SIG_SETMASK, reinterpret_cast<const sigset_t*>(saved), nullptr);
}

Debris::Debris(Kind kind, const std::string& path, int fd) {
    SignalBlock block;
    id = nextId++;
    Entries().push_back({id, kind, path, fd});
}

Debris::~Debris() {
    SignalBlock block;
    std::vector<Entry>& entries = Entries();
    for (auto entry = entries.begin(); entry != entries.end(); ++entry) {
        if (entry->id == id) {
            entries.erase(entry);
            break;
        }
    }
}

}  // namespace tools
}  // namespace qx
