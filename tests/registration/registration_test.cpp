// Self-registration through the exports (regsvr32 calls them; every test run
// registers the library that way), and the QueryInterface trace on the debugger
// output. Both run alone (CMakeLists.txt says why).
#include <algorithm>
#include <mutex>

#include "com/implements.h"
#include "support/com_test.h"

using namespace comtest;

namespace {

const wchar_t kClsidKey[] = L"CLSID\\{0C67847E-BCD7-11d4-9E70-00B0D060205F}";
const wchar_t kTypeLibKey[] = L"TypeLib\\{0C678470-BCD7-11D4-9E70-00B0D060205F}\\1.0";

std::wstring LibraryPath() {
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring path = exe;
    return path.substr(0, path.find_last_of(L"\\/") + 1) + L"OPCHDAAuto.dll";
}
// The key's subkey count, or -1 when it does not exist.
long Subkeys(const std::wstring& path) {
    HKEY key = nullptr;
    DWORD count = 0;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return -1;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr);
    RegCloseKey(key);
    return count;
}
bool KeyExists(const std::wstring& path) { return Subkeys(path) >= 0; }
std::wstring ReadString(const std::wstring& path, const wchar_t* name = nullptr) {
    wchar_t buffer[1024];
    DWORD size = sizeof(buffer);
    if (RegGetValueW(HKEY_CLASSES_ROOT, path.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
        return L"<missing>";
    return buffer;
}
HRESULT CallExport(const char* name) {
    auto fn = LibraryExport<HRESULT STDAPICALLTYPE()>(name);
    return fn ? fn() : E_UNEXPECTED;
}

void ExpectRegistered() {
    const std::wstring name = L"Zelvar OPC HDA Automation 1.0 Server Object", clsid = kClsidKey,
                       library = LibraryPath();
    const std::pair<std::wstring, std::wstring> values[] = {
        {L"OPCHDA.Automation.1", name},
        {L"OPCHDA.Automation.1\\CLSID", clsid.substr(6)},
        {L"OPCHDA.Automation", name},
        {L"OPCHDA.Automation\\CLSID", clsid.substr(6)},
        {L"OPCHDA.Automation\\CurVer", L"OPCHDA.Automation.1"},
        {clsid, name},
        {clsid + L"\\ProgID", L"OPCHDA.Automation.1"},
        {clsid + L"\\VersionIndependentProgID", L"OPCHDA.Automation"},
        {clsid + L"\\TypeLib", L"{0C678470-BCD7-11d4-9E70-00B0D060205F}"},
        {clsid + L"\\InprocServer32", library},
        // The help directory is the library's path cut after its last separator.
        {std::wstring(kTypeLibKey) + L"\\HELPDIR", library.substr(0, library.find_last_of(L"\\/:") + 1)},
    };
    for (const auto& [path, value] : values)
        EXPECT_EQ(CompareStringOrdinal(ReadString(path).c_str(), -1, value.c_str(), -1, TRUE), CSTR_EQUAL) << path;
    EXPECT_EQ(ReadString(clsid + L"\\InprocServer32", L"ThreadingModel"), L"Both");
    EXPECT_TRUE(KeyExists(clsid + L"\\Programmable"));
    EXPECT_EQ(Subkeys(clsid), 5) << "ProgID, VersionIndependentProgID, Programmable, InprocServer32, TypeLib";
}

// Registering twice leaves one clean set (a stray subtree under the class key
// does not survive); unregistering, even twice, removes it all and always
// succeeds; registering again restores it.
using Registration = ComTest;

TEST_F(Registration, RegisterTwiceUnregisterTwiceAndRestore) {
    const HMODULE library = LoadLibraryW(LibraryPath().c_str());
    for (const wchar_t* stale : {L"\\Stale\\Deeper\\Deepest", L"\\Stale\\Sibling"}) {
        const std::wstring path = kClsidKey + std::wstring(stale);
        ASSERT_EQ(RegSetKeyValueW(HKEY_CLASSES_ROOT, path.c_str(), L"value", REG_SZ, L"x", 2 * sizeof(wchar_t)),
                  ERROR_SUCCESS);
    }
    ASSERT_EQ(CallExport("DllRegisterServer"), S_OK);
    ASSERT_EQ(CallExport("DllRegisterServer"), S_OK);
    ExpectRegistered();

    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(CallExport("DllUnregisterServer"), S_OK);
        for (const wchar_t* gone : {L"OPCHDA.Automation.1", L"OPCHDA.Automation", kClsidKey, kTypeLibKey})
            EXPECT_FALSE(KeyExists(gone)) << gone;
        EXPECT_TRUE(KeyExists(L"CLSID")) << "the CLSID key itself is never removed";
    }
    ASSERT_EQ(CallExport("DllRegisterServer"), S_OK);
    ExpectRegistered();
    ComPtr<IOPCHDAAutoServer> server;
    EXPECT_EQ(CreateServer(server), S_OK);
    server = nullptr;
    FreeLibrary(library);
}

// Collects this process's OutputDebugString lines while alive. A vectored handler sees each text first, as
// a debugger would; the monitor's shared buffer exists so that the library traces at all.
class DebugOutputListener {
public:
    DebugOutputListener()
        : mapping_(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, L"DBWIN_BUFFER")),
          handler_(AddVectoredExceptionHandler(1, &Catch)) {
        // The library asks whether a monitor listens at most once per recheck
        // delay: an answer from before this listener may stand until it has passed.
        Sleep(kTraceMonitorRecheckMs + 100);
    }
    ~DebugOutputListener() {
        RemoveVectoredExceptionHandler(handler_);
        CloseHandle(mapping_);
    }
    bool Ready() const { return mapping_ && handler_; }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

private:
    static LONG CALLBACK Catch(EXCEPTION_POINTERS* e) {
        if (e->ExceptionRecord->ExceptionCode != DBG_PRINTEXCEPTION_C) return EXCEPTION_CONTINUE_SEARCH;
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.emplace_back(reinterpret_cast<const char*>(e->ExceptionRecord->ExceptionInformation[1]));
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    static inline std::mutex mutex_;
    static inline std::vector<std::string> lines_;
    HANDLE mapping_;
    PVOID handler_;
};

// One run, as a monitor sees it: it starts after an object was created and traced
// to nobody, and sees that object's later queries once the recheck delay has
// passed. A name is looked up again until it is found: an interface registered
// while the library is loaded (a proxy/stub, a registration) shows by name from then on.
TEST_F(ComTest, QueryInterfaceIsTracedWithRegisteredNames) {
    ComPtr<IOPCHDAAutoServer> early, server;
    ASSERT_EQ(CreateServer(early), S_OK);  // traced to nobody
    DebugOutputListener listener;          // waits out the delay
    ASSERT_TRUE(listener.Ready());
    ASSERT_EQ(CreateServer(server), S_OK);
    ComPtr<IUnknown> itf;
    const GUID unknown = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
    const GUID late = {0x7a7e0001, 0x5eed, 0x4c4c, {9, 8, 7, 6, 5, 4, 3, 2}};
    for (const GUID* iid : {&IID_IDispatch, &IID_OPCHDAItem, &CLSID_OPCHDAServer, &unknown, &late})
        server->QueryInterface(*iid, itf.put_void());
    const char* key = "Interface\\{7A7E0001-5EED-4C4C-0908-070605040302}";
    ASSERT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, key, REG_SZ, "ILateRegistered", 15), ERROR_SUCCESS);
    early->QueryInterface(late, itf.put_void());
    RegDeleteKeyA(HKEY_CLASSES_ROOT, key);
    early = server = nullptr;

    const auto lines = listener.Lines();
    for (const char* wanted : {"CComClassFactory - IClassFactory\n", "COPCHDAAutoServer - IOPCHDAAutoServer\n",
                               "COPCHDAAutoServer - IDispatch\n", "COPCHDAAutoServer - OPCHDAItem - failed\n",
                               "COPCHDAAutoServer - (CLSID??"
                               "?) Zelvar OPC HDA Automation 1.0 Server Object - failed\n",
                               "COPCHDAAutoServer - {12345678-1234-5678-0102-030405060708} - failed\n",
                               "COPCHDAAutoServer - {7A7E0001-5EED-4C4C-0908-070605040302} - failed\n",
                               "COPCHDAAutoServer - ILateRegistered - failed\n"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), wanted), lines.end()) << wanted;
}

}  // namespace
