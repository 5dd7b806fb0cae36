#include "export/time_list.h"

#include "export/csv_format.h"

bool ParseListedTime(const std::wstring& text, FILETIME* time, std::string* why) {
    const auto bound = ParseTimeBound(text, why);
    if (!bound) return false;
    if (!bound->relative.empty()) {
        *why = "not a date and time (values at given times take no relative times)";
        return false;
    }
    *time = bound->utc;
    return true;
}

TimeList::~TimeList() {
    if (file_) std::fclose(file_);
}

bool TimeList::ReadLine(std::string& line) {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, file_)) {
        line = buffer;
        if (line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (!line.empty()) return true;
    }
    return false;
}

std::string TimeList::Open() {
    if (path_.empty()) return {};
    file_ = _wfopen(path_.c_str(), L"rb");
    if (!file_) return "--times-from " + Utf8(path_) + ": cannot be read";
    std::string line, why;
    FILETIME time;
    for (unsigned number = 1; ReadLine(line); ++number) {
        if (!ParseListedTime(FromUtf8(line), &time, &why))
            return "--times-from " + Utf8(path_) + ", line " + std::to_string(number) + " " + line + ": " + why;
    }
    Rewind();
    return {};
}

void TimeList::Rewind() {
    nextGiven_ = 0;
    if (file_) std::rewind(file_);
}

DWORD TimeList::Next(std::vector<FILETIME>& part, DWORD max) {
    part.clear();
    while (part.size() < max && nextGiven_ < given_.size()) part.push_back(given_[nextGiven_++]);
    std::string line, why;
    FILETIME time;
    while (file_ && part.size() < max && ReadLine(line)) {
        if (!ParseListedTime(FromUtf8(line), &time, &why)) {
            changed_ = true;
            break;
        }
        part.push_back(time);
    }
    return static_cast<DWORD>(part.size());
}
