// One run of the export: the historian connected, every item read, the CSV
// written. What main() does after the command line, callable from tests.
#pragma once

#include <unknwn.h>

#include <string>

#include "export/options.h"

// The exit code (ExitCode); messages and progress go to standard error.
// `historian`, when given, is the historian to read instead of the one
// options.progID names.
int RunExport(const Options& options, IUnknown* historian = nullptr);

// "OPCHDAExport: <text>" on standard error.
void Complain(const std::string& text);
