// Start-up: the command line, the usage text and the program's entry.
#pragma once

#include <string>
#include <vector>

namespace fernhollow {

// Sets the defaults, then applies the arguments (program path first) in
// order; true when "--help" or "--version" asked the program to stop.
bool processArgs(const std::vector<std::string>& arguments);
// Writes the usage text.
void printUsage();
// Runs the program: arguments, then the server; returns the exit status.
int fernhollowMain(int argc, char** argv);

} // namespace fernhollow
