#pragma once

#include <string>
#include <vector>

#include "upgrader/utils/Shell.h"

// The in-memory device: the functions of upgrader/utils/FileSystem.h and
// Perform of Shell.h over a file tree held in memory, linked instead of the
// real device (qx_device) by programs that must not touch a real one: the
// in-process tests and the cleanup plan, which replays the cleanup on a copy
// of a device's file list.
//
// The tree holds files (size, modification time, optionally their text) and
// directories; /proc/version and the board node /sys/kernel/qxfc/board are
// text files of the tree like any other (AddTextFile). The root file
// system's free space is one figure that every removal and emptying of a
// file outside /tmp, /proc, /sys and /dev raises by the file's size (the
// plan loads sizes in allocated blocks); creating and moving files leave it
// alone. Every action is recorded with its command text (CommandText), and
// the typed ones take effect:
//   RemoveTree, RemoveFileByCommand   the tree or the file goes
//   EmptyFile                         the file is emptied (created when missing)
//   TouchFile                         the file is created empty when missing
//   Unmount / MountMemoryFileSystem   the directory is emptied / created as a
//                                     new mount
//   SearchWord                        exit status 0 when the file's text holds
//                                     the word, otherwise 1
// A plain command only has the exit status set for its text (default 0).
// The file functions done in process act on the tree too: stale entries go
// with everything below them (RemoveSelectedEntries), a claimed name that
// is missing or a directory becomes an empty file (ClaimOwnFile), a text file keeps
// its last lines through a fresh scratch file renamed over it (KeepLastLines),
// the moves rename (MoveFile; MoveUpgradeLog also removes a directory at
// the target and puts a kept earlier log's text first), and a fresh mount
// is emptied (SecureFreshMount).
namespace qx {
namespace upgrader {
namespace memdevice {

enum class EffectKind {
    Command,  // path: the command text; action: the action itself
    Removed,  // path: the file; bytes: what the removal freed
    Emptied,  // path: the file; bytes: what emptying it freed
    Moved,    // path: the old name; target: the new one
    Note,     // path: a text recorded by the caller (RecordNote)
    Secured,  // path: a fresh mount taken for the run alone (SecureFreshMount)
};

struct Effect {
    EffectKind kind;
    std::string path;
    std::string target;
    unsigned int bytes;
    utils::Action action;
};

// One entry of a tree loaded at once (Load).
struct Entry {
    std::string path;
    bool directory = false;
    unsigned int size = 0;  // a file's
    long mtime = 0;
    bool hasFreedBytes = false;  // freedBytes, not size, is what removing it frees
    unsigned int freedBytes = 0;
    bool hasText = false;  // a file of known contents: text (size is its length)
    std::string text;
};

// Forgets everything: an empty root directory, no free space, time 0.
void Reset();

// Resets the device and fills it: the entries in their order (parents made
// as needed), the free space and the time.
void Load(std::vector<Entry> const& entries, unsigned int freeSpace, long time);

// Adds a file (parent directories are created as needed); an existing entry
// of that name is replaced.
void AddFile(std::string const& path, unsigned int size, long mtime = 0);
// The same with known contents; the size is the text's length.
void AddTextFile(std::string const& path, std::string const& text, long mtime = 0);
void AddDirectory(std::string const& path, long mtime = 0);
// A symbolic link (never followed by the device's functions).
void AddLink(std::string const& path, std::string const& target);
// Owner and permission bits of an entry: everything is root's (uid 0),
// files 0644, until set otherwise.
void SetOwner(std::string const& path, unsigned int uid, unsigned int mode);
// Appends text to a file, creating it when its directory exists, as the
// device's log writer does. False when there is no such directory.
bool AppendText(std::string const& path, std::string const& text);
// The contents of a file added with text (what AppendText and commands made
// of it since), empty otherwise.
std::string TextOf(std::string const& path);

// A file that exists but cannot be opened (reading its start fails).
void MakeUnopenable(std::string const& path);
// A file that cannot be removed (unlink fails, as for a busy mount point).
void Pin(std::string const& path);

void SetFreeSpace(unsigned int bytes);
unsigned int FreeSpace();
// What removing or emptying the file frees, when that differs from its size
// (a planning tool loads the allocated blocks of a real file here, and 0 for
// a file on another file system); kept until the file is emptied.
void SetFreedBytes(std::string const& path, unsigned int bytes);
void SetTime(long secondsSinceEpoch);
// The value Perform returns for the action of exactly this command text (a wait
// status as system() gives it, e.g. 1 << 8 for exit status 1).
void SetCommandStatus(std::string const& command, int status);

bool Exists(std::string const& path);
// The size of a file, 0 for anything else.
unsigned int SizeOf(std::string const& path);

// Everything that happened since Reset, in order.
std::vector<Effect> const& Effects();
// The same since Reset or the previous call, which are then forgotten.
std::vector<Effect> TakeEffects();
// The command texts run since Reset, in order.
std::vector<std::string> Commands();
// Adds a Note effect, e.g. for each upgrade-log entry, so that effects can
// be told apart by the stage that caused them. The log sink of this device
// (qx_log_memdevice) records every entry so and appends it, stamped with
// the device's time as UTC, to the upgrade log file in the tree (when its
// directory exists), and shows it on stderr when the tool asks for that.
void RecordNote(std::string const& text);
// The texts of the Note effects, in order.
std::vector<std::string> Notes();

}  // namespace memdevice
}  // namespace upgrader
}  // namespace qx
