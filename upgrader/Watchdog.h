#pragma once

#include <string>

namespace qx {
namespace upgrader {

// The watchdog program named on the command line lives from
// StartWatchdogProgram, early in a run, until the closing hand-off stops it
// with StopWatchdogProgram.

// Starts it in the background: the argument verbatim followed by " &".
void StartWatchdogProgram(std::string const& watchdog);

// Stops it by its process name, the path from the sixth character on
// ("pkill -9 NAME"), and deletes its file. A text of one to four
// characters leaves no process name: no pkill is run then, as a cut name
// could only match the wrong processes or none; its file is still deleted.
// An empty text (no argument) does nothing.
void StopWatchdogProgram(std::string const& watchdog);

}  // namespace upgrader
}  // namespace qx
