// One run of the export: the historian connected, every item read, the CSV
// written. What main() does after the command line, callable from tests.
#pragma once

#include <string>

#include "export/options.h"

// The exit code (ExitCode); messages go to standard error.
int RunExport(const Options& options);

// "OPCHDAExport: <text>" on standard error.
void Complain(const std::string& text);
