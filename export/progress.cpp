#include "export/progress.h"

#include <io.h>

namespace {

constexpr DWORD kTerminalEvery = 250, kLogEvery = 1000;  // ms

// "1,200,000".
std::string Grouped(std::uint64_t n) {
    const std::string digits = std::to_string(n);
    std::string grouped;
    for (size_t k = 0; k < digits.size(); ++k) {
        if (k > 0 && (digits.size() - k) % 3 == 0) grouped += ',';
        grouped += digits[k];
    }
    return grouped;
}

}  // namespace

bool StandardErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

Progress::Progress(std::FILE* out, bool terminal, DWORD(WINAPI* clock)()) : out_(out), terminal_(terminal), clock_(clock) {}

void Progress::Start(const std::string& item) {
    item_ = item;
    values_ = 0;
    time_ = -1;
    started_ = shown_ = clock_();
}

std::string Progress::Line() const {
    std::string line = item_;
    line.append(": ").append(Grouped(values_)).append(" values");
    if (time_ >= 0) {
        line += ", up to ";
        times_.AppendUtc(time_, line);
    }
    // Whole values a second from whole milliseconds: no floating point.
    const DWORD elapsed = clock_() - started_;
    if (elapsed > 0) line.append(", ").append(Grouped(values_ * 1000 / elapsed)).append(" values/s");
    return line;
}

void Progress::Show() {
    const std::string line = Line();
    if (terminal_) {
        // Back to the start of the line, and blanks over what a longer one left.
        std::fprintf(out_, "\r%s%*s", line.c_str(), static_cast<int>(width_ > line.size() ? width_ - line.size() : 0),
                     "");
        width_ = line.size();
    } else {
        std::fprintf(out_, "OPCHDAExport: %s\n", line.c_str());
    }
    std::fflush(out_);
    shown_ = clock_();
}

void Progress::Reached(std::uint64_t values, std::int64_t time) {
    values_ = values;
    time_ = time;
    if (out_ && clock_() - shown_ >= (terminal_ ? kTerminalEvery : kLogEvery)) Show();
}

void Progress::Finish() {
    if (!out_ || !terminal_) return;
    Show();
    std::fputs("\n", out_);
    width_ = 0;
}
