#include "module/module_state.h"

namespace {
HINSTANCE g_instance = nullptr;
}  // namespace

namespace Module {

HINSTANCE Instance() { return g_instance; }
void SetInstance(HINSTANCE instance) { g_instance = instance; }

std::wstring Path() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(g_instance, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    DWORD n = GetLongPathNameW(path.c_str(), nullptr, 0);
    if (n == 0) return path;
    std::wstring longPath(n, L'\0');
    n = GetLongPathNameW(path.c_str(), longPath.data(), n);
    if (n == 0 || n >= longPath.size()) return path;
    longPath.resize(n);
    return longPath;
}

void Initialize(HINSTANCE instance) { g_instance = instance; }

void Terminate(bool) {}

}  // namespace Module
