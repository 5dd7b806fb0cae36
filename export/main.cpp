// OPCHDAExport: writes the history of OPC HDA items to a CSV file.
//
// It talks to the historian through the OPC HDA custom interfaces rather than
// through the automation object model: the file needs every time stamp as the
// UTC instant the historian holds (the object model hands out local dates in
// whole seconds, which merge the hour that repeats in autumn and drop the
// milliseconds), and chunked reads must continue exactly at the last time.
#include <cstdio>
#include <string>

#include "com/floating_point_defaults.h"
#include "export/export_run.h"

int wmain(int argc, wchar_t** argv) {
    // mingw's start-up code leaves the x87 at 64-bit precision, where the
    // runtime's conversions and an in-process historian's arithmetic would
    // not give the x64 program's answers.
    const FloatingPointDefaults floatingPoint;
    const std::vector<std::wstring> args(argv + 1, argv + argc);
    Options options;
    const std::string wrong = ParseOptions(args, &options);
    if (options.help) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (!wrong.empty()) {
        Complain(wrong + " (--help lists the options)");
        return kExitUsage;
    }
    return RunExport(options);
}
