// The time stamps of values at given times: those of the command line, then
// those of a file (one a line, UTF-8), read a part at a time so that a list
// of any length costs one part of memory.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "export/read_request.h"

class TimeList {
public:
    explicit TimeList(const ReadRequest& request) : given_(request.times), path_(request.timesFile) {}
    TimeList(const TimeList&) = delete;
    TimeList& operator=(const TimeList&) = delete;
    ~TimeList();

    // Opens the file and reads it through once: what is wrong with it (which
    // line is not a time), or empty.
    std::string Open();
    // Back to the first time stamp, for the next item.
    void Rewind();
    // Up to `max` more time stamps into `part`; 0 at the end.
    DWORD Next(std::vector<FILETIME>& part, DWORD max);
    // A line that no longer reads as a time: the file changed after Open.
    bool Changed() const { return changed_; }

private:
    // The next line that is not empty, without its line break; false at the end.
    bool ReadLine(std::string& line);

    const std::vector<FILETIME>& given_;
    std::wstring path_;
    std::FILE* file_ = nullptr;
    size_t nextGiven_ = 0;
    bool changed_ = false;
};

// A time stamp of a values-at-times list: an ISO 8601 time (relative texts
// are the historian's, and ReadAtTime takes none). `why` gets what is wrong.
bool ParseListedTime(const std::wstring& text, FILETIME* time, std::string* why);
