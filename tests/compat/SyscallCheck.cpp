#include "SyscallCheck.h"

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

namespace qx::compat {

namespace {

// The line without its comment, split at white space.
std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line.substr(0, line.find('#')));
    std::vector<std::string> words;
    std::string word;
    while (in >> word) {
        words.push_back(word);
    }
    return words;
}

bool ParseNumber(const std::string& text, unsigned long& number) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    number = std::strtoul(text.c_str(), nullptr, 10);
    return true;
}

std::string Where(const std::string& path, int lineNumber) {
    return path + ":" + std::to_string(lineNumber) + ": ";
}

// The line with the contents of its double-quoted strings removed.
std::string WithoutStrings(const std::string& line) {
    std::string kept;
    bool quoted = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
        } else if (!quoted) {
            kept += c;
        }
    }
    return kept;
}

}  // namespace

bool LoadSyscallTable(const std::string& path, SyscallTable& table, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    SyscallTable loaded;
    std::string line;
    for (int lineNumber = 1; std::getline(in, line); ++lineNumber) {
        const std::vector<std::string> words = Words(line);
        if (words.empty()) {
            continue;
        }
        unsigned long number = 0;
        if (words.size() < 2 || !ParseNumber(words[0], number)) {
            error = Where(path, lineNumber) + "expected NUMBER NAME";
            return false;
        }
        if (!loaded.nameOf.emplace(number, words[1]).second) {
            error = Where(path, lineNumber) + "number " + words[0] + " given twice";
            return false;
        }
        for (size_t i = 1; i < words.size(); ++i) {
            if (!loaded.numberOf.emplace(words[i], number).second) {
                error = Where(path, lineNumber) + "name " + words[i] + " given twice";
                return false;
            }
        }
    }
    table = std::move(loaded);
    return true;
}

bool LoadFallbacks(const std::string& path, std::vector<Fallback>& fallbacks, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::vector<Fallback> loaded;
    std::string line;
    for (int lineNumber = 1; std::getline(in, line); ++lineNumber) {
        const std::vector<std::string> words = Words(line);
        if (words.empty()) {
            continue;
        }
        Fallback entry;
        if (words.size() < 4 || !ParseNumber(words[1], entry.number)) {
            error = Where(path, lineNumber) + "expected CALL NUMBER OLDER-CALL REASON";
            return false;
        }
        entry.call = words[0];
        entry.olderCall = words[2];
        for (size_t i = 3; i < words.size(); ++i) {
            entry.reason += (i > 3 ? " " : "") + words[i];
        }
        loaded.push_back(entry);
    }
    fallbacks = std::move(loaded);
    return true;
}

std::set<std::string> TracedCalls(const std::string& trace, const SyscallTable& table,
                                  const std::vector<Fallback>& fallbacks) {
    // A call is printed as "PID NAME(ARGS) = RESULT"; another process's
    // output may cut in anywhere, also between the pid and the name, so every
    // lower-case word directly followed by '(' counts. Flags, structures and
    // error texts never have that form.
    static const std::regex call("(^|[^A-Za-z0-9_])([a-z_][a-z0-9_]*)\\(");
    static const std::regex unknown("Unknown syscall ([0-9]+)");
    std::set<std::string> calls;
    std::istringstream in(trace);
    std::string line;
    while (std::getline(in, line)) {
        const std::string text = WithoutStrings(line);
        for (std::sregex_iterator it(text.begin(), text.end(), call), end; it != end; ++it) {
            calls.insert((*it)[2].str());
        }
        for (std::sregex_iterator it(text.begin(), text.end(), unknown), end; it != end; ++it) {
            const unsigned long number = std::strtoul((*it)[1].str().c_str(), nullptr, 10);
            std::string name = "syscall " + (*it)[1].str();
            if (auto known = table.nameOf.find(number); known != table.nameOf.end()) {
                name = known->second;
            }
            for (const Fallback& fallback : fallbacks) {
                if (fallback.number == number) {
                    name = fallback.call;
                }
            }
            calls.insert(name);
        }
    }
    return calls;
}

std::vector<std::string> CallsOutside(const std::set<std::string>& calls, const SyscallTable& table,
                                      const std::vector<Fallback>& fallbacks) {
    std::vector<std::string> outside;
    for (const std::string& name : calls) {
        bool allowed = table.numberOf.count(name) != 0;
        for (const Fallback& fallback : fallbacks) {
            allowed = allowed || fallback.call == name;
        }
        if (!allowed) {
            outside.push_back(name);
        }
    }
    return outside;
}

}  // namespace qx::compat
