// Running a shell command from a test and reading back what it printed, and finding the
// programs of this build.
#pragma once

#include <string>

// Where a command's standard error goes: wherever the command line itself sends it (the test's
// own by default), into the captured output, or nowhere. The redirection is appended to the
// command's text, so in "cd x && y" it is y's standard error that moves.
enum class command_stderr { inherited, captured, discarded };

struct command_result {
  int status = -1;  // the exit status; -1 when the shell could not start or a signal ended it
  int signal = 0;   // the signal that ended it, else 0
  std::string out;  // the standard output, with the standard error when captured
};

// Runs `command` through /bin/sh and reads its standard output until the command ends.
command_result run_command(const std::string& command,
                           command_stderr err = command_stderr::inherited);

// The build directory: $ZTS_BUILD_DIR, else the one the tests were built in.
std::string build_dir();

// The file `name` (a program, say) in the build directory.
std::string build_path(const std::string& name);
