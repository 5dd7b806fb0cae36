#include "export/csv_output.h"

#include <fcntl.h>
#include <io.h>

namespace {
constexpr size_t kBlock = 64 * 1024;
}

CsvOutput::CsvOutput(const std::wstring& path, bool byteOrderMark) {
    if (path.empty()) {
        _setmode(_fileno(stdout), _O_BINARY);
        file_ = stdout;
    } else {
        file_ = _wfopen(path.c_str(), L"wb");
        own_ = true;
    }
    pending_.reserve(2 * kBlock);
    if (byteOrderMark) pending_ = "\xEF\xBB\xBF";
}

void CsvOutput::Write(const std::string& line) {
    pending_ += line;
    if (pending_.size() >= kBlock) Flush();
}

void CsvOutput::Flush() {
    if (file_ && !pending_.empty() && std::fwrite(pending_.data(), 1, pending_.size(), file_) != pending_.size())
        ok_ = false;
    pending_.clear();
}

bool CsvOutput::Close() {
    if (!file_) return ok_;
    Flush();
    ok_ = !std::ferror(file_) && std::fflush(file_) == 0 && ok_;
    if (own_) ok_ = std::fclose(file_) == 0 && ok_;
    file_ = nullptr;
    return ok_;
}
