#pragma once

#include <string>

// The device actions done through the system shell (system(3)). The program
// names each as data (an Action); the real device renders it as its command
// text (CommandText, the one place where command texts are made) and runs
// that text, the in-memory device carries it out directly.
namespace qx {
namespace upgrader {
namespace utils {

enum class ActionKind {
    Command,                // text: run as it is ("pkill -9 sshd", the validator)
    RemoveTree,             // rm -rf PATH
    RemoveFileByCommand,    // rm PATH
    EmptyFile,              // cat /dev/null > PATH
    TouchFile,              // touch PATH
    Unmount,                // umount PATH
    MountMemoryFileSystem,  // mount -t tmpfs -o size=TEXT,mode=0755 PATH
    SearchWord,             // cat PATH | grep -q "\bTEXT\b"
};

struct Action {
    ActionKind kind;
    std::string path;  // the file or directory acted on
    std::string text;  // Command: the command; mount: the size; search: the word
};

// The command text of an action, exactly as the shell is given it.
std::string CommandText(Action const& action);

// Carries out the action and returns the value system() returned for its
// command: -1 when no shell could be started, otherwise a wait status.
// Defined by each device (Shell.cpp runs CommandText through system()).
int Perform(Action const& action);

inline int RunCommand(std::string const& command) {
    return Perform({ActionKind::Command, std::string(), command});
}
inline int RemoveTree(std::string const& path) {
    return Perform({ActionKind::RemoveTree, path, ""});
}
inline int RemoveFileByCommand(std::string const& path) {
    return Perform({ActionKind::RemoveFileByCommand, path, ""});
}
inline int EmptyFile(std::string const& path) { return Perform({ActionKind::EmptyFile, path, ""}); }
inline int TouchFile(std::string const& path) { return Perform({ActionKind::TouchFile, path, ""}); }
inline int Unmount(std::string const& path) { return Perform({ActionKind::Unmount, path, ""}); }
inline int MountMemoryFileSystem(std::string const& path, std::string const& size) {
    return Perform({ActionKind::MountMemoryFileSystem, path, size});
}
// Exit status 0 exactly when the file's text holds word as a whole word.
inline int SearchWord(std::string const& path, std::string const& word) {
    return Perform({ActionKind::SearchWord, path, word});
}

// Bits 8 to 15 of a system() value: the command's exit status when the
// shell ran. -1 yields 255 (all bits set).
inline int CommandExitBits(int status) { return (status >> 8) & 0xff; }

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
