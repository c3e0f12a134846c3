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
// Reads a password from standard input and prints the settings line of its
// hash; returns the exit status.
int printPasswordHash();
// Runs the program: arguments, then the server; returns the exit status.
int fernhollowMain(int argc, char** argv);

} // namespace fernhollow
