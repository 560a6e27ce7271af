#include "upgrader/memdevice/MemoryDevice.h"

#include <algorithm>
#include <map>

#include "upgrader/utils/FileSystem.h"
#include "upgrader/utils/Shell.h"

namespace qx {
namespace upgrader {
namespace memdevice {

namespace {

constexpr int kExitStatusOne = 1 << 8;

struct Node {
    bool directory = false;
    unsigned int size = 0;
    bool hasFreedBytes = false;  // freedBytes, not size, is what removal frees
    unsigned int freedBytes = 0;
    long mtime = 0;
    bool hasText = false;
    std::string text;
    bool pinned = false;
    bool unopenable = false;
    unsigned long order = 0;
    bool link = false;  // a symbolic link: text holds its target
    unsigned int uid = 0;
    unsigned int mode = 0644;
};

struct State {
    std::map<std::string, Node> nodes;
    std::map<std::string, int> commandStatus;
    std::vector<Effect> effects;
    unsigned int freeSpace = 0;
    long time = 0;
    unsigned long nextOrder = 0;
    // Mount points and the number of the file system mounted there; every
    // other path is on that of its nearest mounted ancestor ("/": 0).
    std::map<std::string, unsigned long long> mounts;
    unsigned long long nextMount = 0;
};

State& Device() {
    static State state = [] {
        State fresh;
        fresh.nodes["/"].directory = true;
        return fresh;
    }();
    return state;
}

// One spelling per name: no repeated or trailing slashes.
std::string Normalize(std::string const& path) {
    std::string result;
    for (char c : path) {
        if (c != '/' || result.empty() || result.back() != '/') {
            result += c;
        }
    }
    if (result.size() > 1 && result.back() == '/') {
        result.pop_back();
    }
    return result;
}

std::string ParentOf(std::string const& path) {
    const std::size_t slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool Within(std::string const& path, std::string const& directory) {
    return path == directory || (path.compare(0, directory.size(), directory) == 0 &&
                                 (directory == "/" || path[directory.size()] == '/'));
}

// Files on the RAM disk and the kernel's file systems take no flash space.
bool OnFlash(std::string const& path) {
    for (const char* other : {"/tmp", "/proc", "/sys", "/dev"}) {
        if (Within(path, other)) {
            return false;
        }
    }
    return true;
}

Node* Find(std::string const& path) {
    auto found = Device().nodes.find(Normalize(path));
    return found == Device().nodes.end() ? nullptr : &found->second;
}

Node& Put(std::string const& path, Node node) {
    const std::string name = Normalize(path);
    if (name != "/" && Find(ParentOf(name)) == nullptr) {
        AddDirectory(ParentOf(name));
    }
    node.order = Device().nextOrder++;
    return Device().nodes[name] = node;
}

void Record(EffectKind kind, std::string const& path, unsigned int bytes = 0,
            std::string const& target = std::string(), utils::Action const& action = {}) {
    Device().effects.push_back(Effect{kind, path, target, bytes, action});
}

void Free(std::string const& path, unsigned int bytes) {
    if (OnFlash(path)) {
        const unsigned long long sum = 0ull + Device().freeSpace + bytes;
        Device().freeSpace = utils::SaturatedSize(sum);
    }
}

unsigned int FreedBy(Node const& node) { return node.hasFreedBytes ? node.freedBytes : node.size; }

void EraseFile(std::string const& name, Node const& node) {
    Record(EffectKind::Removed, name, FreedBy(node));
    Free(name, FreedBy(node));
    Device().nodes.erase(name);
}

// Removes what lies below directory, and directory itself when withRoot.
void RemoveTree(std::string const& directory, bool withRoot) {
    const std::string root = Normalize(directory);
    std::vector<std::string> names;
    for (auto const& entry : Device().nodes) {
        if (Within(entry.first, root) && (withRoot || entry.first != root) && entry.first != "/") {
            names.push_back(entry.first);
        }
    }
    for (std::string const& name : names) {
        Node const node = Device().nodes[name];
        if (node.directory) {
            Device().nodes.erase(name);
        } else {
            EraseFile(name, node);
        }
    }
}

void Empty(std::string const& path) {
    Node* node = Find(path);
    if (node == nullptr) {
        Put(path, Node{});
        Record(EffectKind::Emptied, Normalize(path), 0);
        return;
    }
    const unsigned int bytes = FreedBy(*node);
    node->size = 0;
    node->hasFreedBytes = false;
    node->text.clear();
    Record(EffectKind::Emptied, Normalize(path), bytes);
    Free(Normalize(path), bytes);
}

bool Move(std::string const& from, std::string const& to) {
    const std::string source = Normalize(from);
    const std::string target = Normalize(to);
    if (Find(source) == nullptr) {
        return false;
    }
    std::vector<std::pair<std::string, Node>> moved;
    for (auto const& entry : Device().nodes) {
        if (Within(entry.first, source)) {
            moved.emplace_back(target + entry.first.substr(source.size()), entry.second);
        }
    }
    RemoveTree(target, true);
    for (auto const& entry : moved) {
        Device().nodes.erase(source + entry.first.substr(target.size()));
    }
    for (auto const& entry : moved) {
        Put(entry.first, entry.second);
    }
    Record(EffectKind::Moved, source, 0, target);
    return true;
}

// The last count lines of text.
std::string LastLines(std::string const& text, unsigned long count) {
    std::size_t start = text.size();
    for (unsigned long lines = 0; start > 0 && count > 0; --start) {
        if (text[start - 1] == '\n' && start != text.size() && ++lines == count) {
            break;
        }
    }
    return text.substr(start);
}

void Tail(unsigned long count, std::string const& from, std::string const& to) {
    Node copy;
    if (Node* source = Find(from)) {
        copy = *source;
        copy.text = LastLines(copy.text, count);
        copy.size = copy.hasText ? static_cast<unsigned int>(copy.text.size()) : copy.size;
    }
    Put(to, copy);
}

bool IsWordCharacter(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

// True when word stands in text with no word character on either side.
bool HoldsWord(std::string const& text, std::string const& word) {
    for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
        const std::size_t end = at + word.size();
        if ((at == 0 || !IsWordCharacter(text[at - 1])) &&
            (end == text.size() || !IsWordCharacter(text[end]))) {
            return true;
        }
    }
    return false;
}

// The exit status of "cat PATH | grep -q WORD": 0 when the readable file
// holds the word, otherwise 1.
int SearchWord(std::string const& path, std::string const& word) {
    Node* file = Find(path);
    const bool found = file != nullptr && !file->unopenable && HoldsWord(file->text, word);
    return found ? 0 : kExitStatusOne;
}

// Carries out what the device's shell would do for the action.
void Carry(utils::Action const& action) {
    using utils::ActionKind;
    switch (action.kind) {
        case ActionKind::RemoveTree:
            RemoveTree(action.path, true);
            break;
        case ActionKind::RemoveFileByCommand:
            utils::RemoveFile(action.path);
            break;
        case ActionKind::EmptyFile:
            Empty(action.path);
            break;
        case ActionKind::TouchFile:
            if (Find(action.path) == nullptr) {
                Put(action.path, Node{});
            }
            break;
        case ActionKind::Unmount:
            RemoveTree(action.path, false);
            Device().mounts.erase(Normalize(action.path));
            break;
        case ActionKind::MountMemoryFileSystem:
            AddDirectory(action.path);
            Device().mounts[Normalize(action.path)] = ++Device().nextMount;
            break;
        case ActionKind::Command:
        case ActionKind::SearchWord:
            break;
    }
}

}  // namespace

void Reset() {
    Device() = State();
    Device().nodes["/"].directory = true;
}

void AddFile(std::string const& path, unsigned int size, long mtime) {
    Node node;
    node.size = size;
    node.mtime = mtime;
    Put(path, node);
}

void AddTextFile(std::string const& path, std::string const& text, long mtime) {
    Node node;
    node.size = static_cast<unsigned int>(text.size());
    node.mtime = mtime;
    node.hasText = true;
    node.text = text;
    Put(path, node);
}

void AddDirectory(std::string const& path, long mtime) {
    if (Node* existing = Find(path)) {
        if (existing->directory) {
            return;
        }
    }
    Node node;
    node.directory = true;
    node.mtime = mtime;
    Put(path, node);
}

void SetFreedBytes(std::string const& path, unsigned int bytes) {
    if (Node* node = Find(path)) {
        node->hasFreedBytes = true;
        node->freedBytes = bytes;
    }
}

void MakeUnopenable(std::string const& path) {
    if (Find(path) == nullptr) {
        AddTextFile(path, std::string());
    }
    Find(path)->unopenable = true;
}

void Pin(std::string const& path) {
    if (Node* node = Find(path)) {
        node->pinned = true;
    }
}

void AddLink(std::string const& path, std::string const& target) {
    Node node;
    node.link = true;
    node.text = target;
    node.mode = 0777;
    Put(path, node);
}

void SetOwner(std::string const& path, unsigned int uid, unsigned int mode) {
    if (Node* node = Find(path)) {
        node->uid = uid;
        node->mode = mode;
    }
}

void SetFreeSpace(unsigned int bytes) { Device().freeSpace = bytes; }

unsigned int FreeSpace() { return Device().freeSpace; }

void SetTime(long secondsSinceEpoch) { Device().time = secondsSinceEpoch; }

void SetCommandStatus(std::string const& command, int status) {
    Device().commandStatus[command] = status;
}

bool AppendText(std::string const& path, std::string const& text) {
    Node* node = Find(path);
    if (node == nullptr) {
        Node* parent = Find(ParentOf(Normalize(path)));
        if (parent == nullptr || !parent->directory) {
            return false;
        }
        AddTextFile(path, std::string());
        node = Find(path);
    }
    node->hasText = true;
    node->text += text;
    node->size += static_cast<unsigned int>(text.size());
    return true;
}

std::string TextOf(std::string const& path) {
    Node* node = Find(path);
    return node == nullptr ? std::string() : node->text;
}

bool Exists(std::string const& path) { return Find(path) != nullptr; }

unsigned int SizeOf(std::string const& path) {
    Node* node = Find(path);
    return node != nullptr && !node->directory ? node->size : 0;
}

std::vector<Effect> const& Effects() { return Device().effects; }

std::vector<Effect> TakeEffects() {
    std::vector<Effect> taken;
    taken.swap(Device().effects);
    return taken;
}

void Load(std::vector<Entry> const& entries, unsigned int freeSpace, long time) {
    Reset();
    for (Entry const& entry : entries) {
        if (entry.directory) {
            AddDirectory(entry.path, entry.mtime);
            continue;
        }
        Node node;
        node.size = entry.hasText ? static_cast<unsigned int>(entry.text.size()) : entry.size;
        node.mtime = entry.mtime;
        node.hasFreedBytes = entry.hasFreedBytes;
        node.freedBytes = entry.freedBytes;
        node.hasText = entry.hasText;
        node.text = entry.text;
        Put(entry.path, node);
    }
    SetFreeSpace(freeSpace);
    SetTime(time);
}

namespace {

std::vector<std::string> TextsOf(EffectKind kind) {
    std::vector<std::string> texts;
    for (Effect const& effect : Device().effects) {
        if (effect.kind == kind) {
            texts.push_back(effect.path);
        }
    }
    return texts;
}

}  // namespace

std::vector<std::string> Commands() { return TextsOf(EffectKind::Command); }

void RecordNote(std::string const& text) { Record(EffectKind::Note, text); }

std::vector<std::string> Notes() { return TextsOf(EffectKind::Note); }

}  // namespace memdevice

// The device functions over the in-memory tree.
namespace utils {

using memdevice::Device;
using memdevice::Find;
using memdevice::Node;

bool MountFreeSpace(std::string, unsigned int& freeBytes) {
    freeBytes = Device().freeSpace;
    return true;
}

bool FileExists(std::string const& path) {
    Node* node = Find(path);
    return node != nullptr && !node->directory;
}

bool DirectoryExists(std::string const& path) {
    Node* node = Find(path);
    return node != nullptr && node->directory;
}

bool FileSize(std::string const& path, unsigned int& size) {
    if (!FileExists(path)) {
        return false;
    }
    size = Find(path)->size;
    return true;
}

long FileModificationTime(std::string const& path) {
    Node* node = Find(path);
    return node == nullptr ? 0 : node->mtime;
}

bool SetPermissions(std::string const& path, unsigned int) { return Find(path) != nullptr; }

bool RemoveFile(std::string const& path) {
    Node* node = Find(path);
    if (node == nullptr) {
        return true;
    }
    if (node->directory || node->pinned) {
        return false;
    }
    memdevice::EraseFile(memdevice::Normalize(path), *node);
    return true;
}

bool RenameFile(std::string const& from, std::string const& to) {
    return memdevice::Move(from, to);
}

bool ListDirectory(std::string const& path, std::vector<std::string>& names) {
    const std::string directory = memdevice::Normalize(path);
    if (!DirectoryExists(directory)) {
        return false;
    }
    std::map<unsigned long, std::string> byOrder;
    for (auto const& entry : Device().nodes) {
        if (entry.first != "/" && memdevice::ParentOf(entry.first) == directory) {
            byOrder[entry.second.order] = entry.first.substr(entry.first.rfind('/') + 1);
        }
    }
    names = {".", ".."};
    for (auto const& entry : byOrder) {
        names.push_back(entry.second);
    }
    return true;
}

bool ReadFileStart(std::string const& path, std::size_t limit, std::string& bytes) {
    Node* node = Find(path);
    if (node == nullptr || node->directory || node->unopenable) {
        return false;
    }
    bytes = node->hasText ? node->text.substr(0, limit)
                          : std::string(std::min<std::size_t>(node->size, limit), '\0');
    return true;
}

void RemoveSelectedEntries(std::string const& directory,
                           std::function<bool(const char* name)> const& select) {
    std::vector<std::string> names;
    if (!ListDirectory(directory, names)) {
        return;
    }
    const std::string parent = memdevice::Normalize(directory);
    for (std::string const& name : names) {
        if (name != "." && name != ".." && select(name.c_str())) {
            memdevice::RemoveTree((parent == "/" ? "/" : parent + "/") + name, true);
        }
    }
}

bool ClaimOwnFile(std::string const& path, unsigned int) {
    if (Node* node = Find(path)) {
        if (!node->directory) {
            return true;
        }
        memdevice::RemoveTree(path, true);  // moved aside and removed
    }
    Node* parent = Find(memdevice::ParentOf(memdevice::Normalize(path)));
    if (parent == nullptr || !parent->directory) {
        return false;
    }
    memdevice::Put(path, Node{});
    return true;
}

bool KeepLastLines(std::string const& path, unsigned int lines) {
    Node* node = Find(path);
    if (node == nullptr || node->directory || node->unopenable) {
        return false;
    }
    // The last lines go to a fresh file under a name of its own beside the
    // log (whatever stands elsewhere is left alone), renamed over the log.
    const std::string directory = memdevice::ParentOf(memdevice::Normalize(path));
    std::string scratch;
    for (unsigned int n = 0; scratch.empty() || Find(scratch) != nullptr; ++n) {
        scratch = directory + "/.new-" + std::to_string(n);
    }
    memdevice::Tail(lines, path, scratch);
    return memdevice::Move(scratch, path);
}

bool CheckOwnEntry(std::string const& path, std::string& reason) {
    Node* node = Find(path);
    reason = node == nullptr     ? "gone"
             : node->link        ? "a link"
             : node->uid != 0    ? "another user's"
             : node->mode & 022u ? "writable by others"
                                 : "";
    return reason.empty();
}

bool FileSystemOf(std::string const& path, unsigned long long& id) {
    if (Find(path) == nullptr) {
        return false;
    }
    for (std::string at = memdevice::Normalize(path);; at = memdevice::ParentOf(at)) {
        auto mounted = Device().mounts.find(at);
        if (mounted != Device().mounts.end() || at == "/") {
            id = mounted == Device().mounts.end() ? 0 : mounted->second;
            return true;
        }
    }
}

bool SecureFreshMount(std::string const& path, unsigned long long previous, bool mounted) {
    unsigned long long id = 0, parent = 0;
    if (!DirectoryExists(path) || !FileSystemOf(path, id) ||
        !FileSystemOf(memdevice::ParentOf(memdevice::Normalize(path)), parent) ||
        (!mounted && id == previous) || id == parent) {
        return false;
    }
    memdevice::RemoveTree(path, false);
    memdevice::Record(memdevice::EffectKind::Secured, memdevice::Normalize(path));
    return true;
}

bool MoveFile(std::string const& from, std::string const& to) {
    std::string reason;
    Node* source = Find(from);
    Node* target = Find(to);
    if (!CheckOwnEntry(from, reason) || source->directory || (target && target->directory)) {
        return false;
    }
    return memdevice::Move(from, to);
}

bool MoveUpgradeLog(std::string const& from, std::string const& to, bool keepEarlier) {
    Node* target = Find(to);
    if (target != nullptr && target->directory) {
        memdevice::RemoveTree(to, true);
        target = nullptr;
    }
    std::string reason;
    const bool keep = keepEarlier && target != nullptr && CheckOwnEntry(to, reason);
    const std::string earlier = keep ? target->text : std::string();
    if (!MoveFile(from, to)) {
        return false;
    }
    Node* moved = Find(to);
    moved->text = earlier + moved->text;
    moved->size = static_cast<unsigned int>(moved->text.size());
    return true;
}

void SyncFileSystems() {}

void PauseSeconds(unsigned int) {}

long CurrentTime() { return Device().time; }

int Perform(Action const& action) {
    const std::string command = CommandText(action);
    memdevice::Record(memdevice::EffectKind::Command, command, 0, std::string(), action);
    if (action.kind == ActionKind::SearchWord) {
        return memdevice::SearchWord(action.path, action.text);
    }
    memdevice::Carry(action);
    auto const& statuses = Device().commandStatus;
    auto found = statuses.find(command);
    return found == statuses.end() ? 0 : found->second;
}

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
