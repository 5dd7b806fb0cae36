// The command line of OPCHDAExport.
#pragma once

#include <string>
#include <vector>

#include "export/read_request.h"

// Exit codes, for scripts (docs/export.md lists them).
enum ExitCode : int {
    kExitOk = 0,             // every item read completely (items without data included)
    kExitUsage = 1,          // the command line is wrong (--help alone exits with 0)
    kExitNoHistorian = 2,    // the historian cannot be created or offers no synchronous reads
    kExitItemsFailed = 3,    // some items failed; their rows say why, the others are complete
    kExitReadRefused = 4,    // the historian refused the request itself, or answered what cannot be true
    kExitOutputFailed = 5,   // the output file cannot be opened or written
};

struct Options {
    std::wstring progID, node;
    std::vector<std::wstring> items;
    ReadRequest request;
    std::wstring out;  // empty: standard output
    bool spreadsheet = false;  // --format excel
    std::wstring separator;    // empty: the format's own
    bool localTime = false;
    bool header = true;
    bool quiet = false;
    bool help = false;
};

// Fills `options` from the arguments after the program name; the result is
// what is wrong with them (empty when nothing is), naming the argument.
std::string ParseOptions(const std::vector<std::wstring>& args, Options* options);

extern const char kUsage[];
