#include "export/progress.h"

#include <io.h>

#include <algorithm>
#include <cstdint>

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

int StandardErrorTerminalWidth() {
    CONSOLE_SCREEN_BUFFER_INFO console;
    if (!_isatty(_fileno(stderr))) return 0;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &console)) return 80;
    return console.srWindow.Right - console.srWindow.Left + 1;
}

Progress::Progress(std::FILE* out, int terminalWidth, DWORD(WINAPI* clock)())
    : out_(out), terminalWidth_(terminalWidth), clock_(clock) {}

void Progress::Start(const std::string& item) {
    item_ = item;
    values_ = 0;
    time_ = -1;
    started_ = shown_ = clock_();
}

std::string Progress::Line(size_t most) const {
    std::string figures = ": ";
    figures.append(Grouped(values_)).append(" values");
    if (time_ >= 0) {
        figures += ", up to ";
        times_.AppendUtc(time_, figures);
    }
    // Whole values a second from whole milliseconds: no floating point.
    const DWORD elapsed = clock_() - started_;
    if (elapsed > 0) figures.append(", ").append(Grouped(values_ * 1000 / elapsed)).append(" values/s");
    // Too long: the item loses its beginning (its end names it best), then the figures their end.
    std::string item = item_;
    if (item.size() + figures.size() > most) {
        size_t cut = item.size() - std::min(item.size(), most > figures.size() + 3 ? most - figures.size() - 3 : 0);
        while (cut < item.size() && (static_cast<unsigned char>(item[cut]) & 0xC0) == 0x80)
            ++cut;  // whole UTF-8 letters
        item = "..." + item.substr(cut);
    }
    std::string line = item + figures;
    if (line.size() > most) line.resize(most);
    return line;
}

void Progress::Show() {
    // On a console the last column stays free: one moves to the next line once it is written.
    const std::string line = Line(terminalWidth_ > 1 ? terminalWidth_ - 1 : terminalWidth_ == 1 ? 1 : SIZE_MAX);
    if (terminalWidth_ > 0) {
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
    if (out_ && clock_() - shown_ >= (terminalWidth_ > 0 ? kTerminalEvery : kLogEvery)) Show();
}

void Progress::Finish() {
    if (!out_ || terminalWidth_ == 0) return;
    Show();
    std::fputs("\n", out_);
    width_ = 0;
}
