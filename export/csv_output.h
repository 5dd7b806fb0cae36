// Where the rows go: a file of the export's own or standard output, in blocks
// of 64 KiB (a row a write would cost a system call per value).
#pragma once

#include <cstdio>
#include <string>

class CsvOutput {
public:
    // An empty path is standard output. With `byteOrderMark` the file starts
    // with UTF-8's, which tells a spreadsheet how to read it.
    CsvOutput(const std::wstring& path, bool byteOrderMark);
    CsvOutput(const CsvOutput&) = delete;
    CsvOutput& operator=(const CsvOutput&) = delete;
    ~CsvOutput() { Close(); }

    bool IsOpen() const { return file_ != nullptr; }
    void Write(const std::string& line);
    // False if anything went unwritten.
    bool Close();

private:
    void Flush();

    std::FILE* file_ = nullptr;
    bool own_ = false;
    bool ok_ = true;
    std::string pending_;
};
