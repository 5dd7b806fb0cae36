// Self-registration through the exports (regsvr32 calls them; every test run
// registers the library that way). These tests take the registration away and
// put it back, so they run alone.
#include <string>
#include <utility>

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
HRESULT CallExport(HMODULE library, const char* name) {
    auto fn = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(GetProcAddress(library, name)));
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
TEST(Registration, RegisterTwiceUnregisterTwiceAndRestore) {
    const HMODULE library = LoadLibraryW(LibraryPath().c_str());
    for (const wchar_t* stale : {L"\\Stale\\Deeper\\Deepest", L"\\Stale\\Sibling"}) {
        const std::wstring path = kClsidKey + std::wstring(stale);
        ASSERT_EQ(RegSetKeyValueW(HKEY_CLASSES_ROOT, path.c_str(), L"value", REG_SZ, L"x", 2 * sizeof(wchar_t)),
                  ERROR_SUCCESS);
    }
    ASSERT_EQ(CallExport(library, "DllRegisterServer"), S_OK);
    ASSERT_EQ(CallExport(library, "DllRegisterServer"), S_OK);
    ExpectRegistered();
    EXPECT_FALSE(KeyExists(std::wstring(kClsidKey) + L"\\Stale"));

    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(CallExport(library, "DllUnregisterServer"), S_OK);
        for (const wchar_t* gone : {L"OPCHDA.Automation.1", L"OPCHDA.Automation", kClsidKey, kTypeLibKey})
            EXPECT_FALSE(KeyExists(gone)) << gone;
        EXPECT_TRUE(KeyExists(L"CLSID")) << "the CLSID key itself is never removed";
    }
    ASSERT_EQ(CallExport(library, "DllRegisterServer"), S_OK);
    ExpectRegistered();
    ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    {
        ComPtr<IOPCHDAAutoServer> server;
        EXPECT_EQ(CreateServer(server), S_OK);
    }
    CoUninitialize();
    FreeLibrary(library);
}

}  // namespace
