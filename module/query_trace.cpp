#include "implements.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <string>

namespace {

// The default value of HKEY_CLASSES_ROOT\<path>, if the key exists.
bool ReadClassesRootDefault(const std::string& path, std::string& value) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    char buffer[512];
    DWORD size = sizeof(buffer) - 1;
    DWORD type = 0;
    LONG rc = RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return false;
    buffer[size < sizeof(buffer) ? size : sizeof(buffer) - 1] = '\0';
    value = buffer;
    return true;
}

std::string GuidText(REFIID riid) {
    char text[64];
    std::snprintf(text, sizeof(text), "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(riid.Data1), riid.Data2, riid.Data3, riid.Data4[0], riid.Data4[1],
                  riid.Data4[2], riid.Data4[3], riid.Data4[4], riid.Data4[5], riid.Data4[6], riid.Data4[7]);
    return text;
}

// How the trace names an identifier: its registered interface name, else the
// registered class name, else the identifier itself.
std::string TraceName(REFIID riid) {
    const std::string guid = GuidText(riid);
    std::string name;
    if (ReadClassesRootDefault("Interface\\" + guid, name)) return name;
    if (ReadClassesRootDefault("CLSID\\" + guid, name)) return "(CLSID??" "?) " + name;  // split: "??)" is a trigraph
    return guid;
}

// Every result object traces its first QueryInterface, so a read that returns
// many histories would pay two registry look-ups each; the names are kept once
// found. Registrations that change while the library is loaded show on the
// next load.
const std::string& CachedTraceName(REFIID riid) {
    static std::mutex& mutex = *new std::mutex;
    static auto& names = *new std::map<std::string, std::string>;
    const std::string key = GuidText(riid);
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto found = names.find(key);
        if (found != names.end()) return found->second;
    }
    std::string name = TraceName(riid);
    std::lock_guard<std::mutex> lock(mutex);
    return names.emplace(key, std::move(name)).first->second;
}

}  // namespace

void TraceQueryInterface(const char* className, REFIID riid, bool succeeded) noexcept try {
    std::string line = className;
    line += " - ";
    line += CachedTraceName(riid);
    if (!succeeded) line += " - failed";
    line += "\n";
    OutputDebugStringA(line.c_str());
} catch (...) {
}
