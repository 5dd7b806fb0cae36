// How far the export has come, for a person watching it: the item, the
// values written, the time reached and the rate. On a terminal it is one line
// rewritten in place, about four times a second, and left standing when the
// item ends (cut to the console's width: a line that wrapped could not be
// rewritten); elsewhere (a log) a line about once a second.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstddef>
#include <cstdio>
#include <string>

#include "export/time_text.h"

class Progress {
public:
    // `terminalWidth` is the console's in characters, 0 for a log; `clock`
    // gives milliseconds (GetTickCount, or a test's); null `out` reports nothing.
    Progress(std::FILE* out, int terminalWidth, DWORD(WINAPI* clock)() = &GetTickCount);
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void Start(const std::string& item);
    void Reached(std::uint64_t values, std::int64_t time);
    // The item is done: a terminal's line shows its last figures and stays.
    void Finish();

    // "Plant/Area1/Flow: 1,200,000 values, up to 2024-03-01T06:00:00.000Z, 512,000 values/s",
    // in at most `most` bytes.
    std::string Line(size_t most = SIZE_MAX) const;

private:
    void Show();

    std::FILE* out_;
    int terminalWidth_;
    DWORD(WINAPI* clock_)();
    TimeText times_;
    std::string item_;
    std::uint64_t values_ = 0;
    std::int64_t time_ = -1;  // none yet
    DWORD started_ = 0, shown_ = 0;
    size_t width_ = 0;  // of the line on the terminal
};

// The width of the console standard error shows in, 0 when it goes elsewhere.
int StandardErrorTerminalWidth();
