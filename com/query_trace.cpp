// The QueryInterface trace: "<class> - <interface name>[ - failed]\n" on the
// debugger output. It allocates nothing and takes no lock, so that it can run
// in any QueryInterface, out of memory or after static destruction.
#include "com/implements.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kNameSize = 512;

// The default value of HKEY_CLASSES_ROOT\<prefix><guid>, if the key exists.
bool ReadClassesRootDefault(const char* prefix, const char* guid, char (&value)[kNameSize]) {
    char path[96];
    std::snprintf(path, sizeof(path), "%s%s", prefix, guid);
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    DWORD size = kNameSize - 1;
    DWORD type = 0;
    LONG rc = RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return false;
    value[size < kNameSize ? size : kNameSize - 1] = '\0';
    return true;
}

void GuidText(REFIID riid, char (&text)[40]) {
    std::snprintf(text, sizeof(text), "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(riid.Data1), riid.Data2, riid.Data3, riid.Data4[0], riid.Data4[1],
                  riid.Data4[2], riid.Data4[3], riid.Data4[4], riid.Data4[5], riid.Data4[6], riid.Data4[7]);
}

// How the trace names an identifier: its registered interface name, else the
// registered class name; false (and the identifier itself) when neither is registered.
bool LookUpName(REFIID riid, char (&name)[kNameSize]) {
    char guid[40];
    GuidText(riid, guid);
    if (ReadClassesRootDefault("Interface\\", guid, name)) return true;
    char user[kNameSize];
    if (ReadClassesRootDefault("CLSID\\", guid, user)) {
        std::snprintf(name, kNameSize,
                      "(CLSID??"
                      "?) %s",
                      user);  // split: "??)" is a trigraph
        return true;
    }
    std::snprintf(name, kNameSize, "%s", guid);
    return false;
}

// Every result object traces its first QueryInterface, so names found are kept
// (a read that returns many histories would otherwise pay two registry
// look-ups each). Only names found are kept: an interface registered later (a
// proxy/stub, a registration while loaded) shows by name from then on. Slots
// are claimed by an interlocked counter and published by a ready flag; once
// full, later names are looked up every time.
struct CachedName {
    IID iid;
    char name[kNameSize];
    volatile LONG ready;
};
constexpr LONG kSlots = 64;
CachedName g_names[kSlots];
volatile LONG g_claimed = 0;

void TraceName(REFIID riid, char (&name)[kNameSize]) {
    LONG claimed = InterlockedCompareExchange(&g_claimed, 0, 0);
    for (LONG i = 0; i < claimed && i < kSlots; ++i) {
        if (InterlockedCompareExchange(&g_names[i].ready, 0, 0) && IsEqualIID(g_names[i].iid, riid)) {
            std::memcpy(name, g_names[i].name, kNameSize);
            return;
        }
    }
    if (!LookUpName(riid, name)) return;
    LONG slot = InterlockedIncrement(&g_claimed) - 1;
    if (slot >= kSlots) return;
    g_names[slot].iid = riid;
    std::memcpy(g_names[slot].name, name, kNameSize);
    InterlockedExchange(&g_names[slot].ready, 1);
}

// Whether a debug monitor listens: OutputDebugStringA hands its text to one
// only while the monitor's shared buffer exists, so that is what is asked.
// Asking reaches the wineserver (microseconds) and writing a line costs a
// server round trip even when nobody listens, so the answer is kept for
// kTraceMonitorRecheckMs; within that time the hot path pays one tick read and
// a compare. GetTickCount, not GetTickCount64 (Windows 2000 lacks it): the
// unsigned difference stays right across the 49.7-day wrap.
volatile LONG g_monitorChecked = 0;
volatile LONG g_monitorPresent = 0;
volatile LONG g_monitorCheckedAt = 0;

bool MonitorListens() noexcept {
    const DWORD now = GetTickCount();
    if (g_monitorChecked && now - static_cast<DWORD>(g_monitorCheckedAt) < kTraceMonitorRecheckMs)
        return g_monitorPresent != 0;
    HANDLE buffer = OpenFileMappingW(FILE_MAP_READ, FALSE, L"DBWIN_BUFFER");
    if (buffer) CloseHandle(buffer);
    InterlockedExchange(&g_monitorPresent, buffer ? 1 : 0);
    InterlockedExchange(&g_monitorCheckedAt, static_cast<LONG>(now));
    InterlockedExchange(&g_monitorChecked, 1);
    return buffer != nullptr;
}

}  // namespace

void TraceQueryInterface(const char* className, REFIID riid, bool succeeded) noexcept {
    // Nobody listening is the usual case: then the line is not even made.
    if (!IsDebuggerPresent() && !MonitorListens()) return;
    char name[kNameSize];
    TraceName(riid, name);
    char line[kNameSize + 128];
    std::snprintf(line, sizeof(line), "%s - %s%s\n", className, name, succeeded ? "" : " - failed");
    OutputDebugStringA(line);
}
