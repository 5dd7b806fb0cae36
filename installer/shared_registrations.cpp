// The packages' custom actions for the registrations that another product may own as well: the
// proxies of the OPC custom interfaces, the proxy class, the OPC server list and the description of
// the OPC HDA category. Windows Installer removes the values of its Registry table at uninstall
// whatever they hold by then, and so would take away what the OPC core components or a historian
// vendor wrote over ours after we installed. These actions write a registration only where it is
// absent or still ours, and remove it only while it is still ours.
//
// CustomActionData (build-msi.sh writes it, Windows Installer fills in the installation folders)
// holds one registration a line, every field separated by '|' (which no Windows path may contain):
//   <view>|<key under HKLM\Software\Classes>|<subkey>|<name>|<text>[|<subkey>|<name>|<text>]...
// The view is 64 or 32 on 64-bit Windows and empty on 32-bit Windows, which has one. The first value
// is the claim: what says whose the registration is (the proxy class an interface names, the file a
// class names); where it is absent, any value that holds another text makes the registration
// another's. A value with an empty name is the key's default value; every value is a string.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "com/com_holders.h"

namespace {

struct RegistryKeyTraits : PointerTraits<HKEY> {
    static void Free(HKEY key) { RegCloseKey(key); }
};
using RegistryKey = UniqueAny<RegistryKeyTraits>;

struct MsiHandleTraits {
    using Type = MSIHANDLE;
    static MSIHANDLE None() { return 0; }
    static bool IsNone(MSIHANDLE handle) { return handle == 0; }
    static void Free(MSIHANDLE handle) { MsiCloseHandle(handle); }
};
using MsiRecord = UniqueAny<MsiHandleTraits>;

struct Value {
    std::wstring subkey;  // below the registration's key; empty: the key itself
    std::wstring name;
    std::wstring text;
};

struct Registration {
    REGSAM view = 0;
    std::wstring key;
    std::vector<Value> values;  // the claim first

    std::wstring Path(const std::wstring& subkey) const {
        std::wstring path = L"Software\\Classes\\" + key;
        return subkey.empty() ? path : path + L"\\" + subkey;
    }
};

enum class Owner { Nobody, Us, Another };

void Log(MSIHANDLE install, const std::wstring& text) {
    MsiRecord record(MsiCreateRecord(1));
    MsiRecordSetStringW(record.get(), 0, (L"Shared registrations: " + text).c_str());
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record.get());
}

std::vector<std::wstring> Split(std::wstring_view text, wchar_t separator) {
    std::vector<std::wstring> parts;
    for (size_t start = 0;;) {
        size_t end = text.find(separator, start);
        parts.emplace_back(text.substr(start, end - start));
        if (end == std::wstring_view::npos) return parts;
        start = end + 1;
    }
}

bool Parse(std::wstring_view line, Registration& out) {
    std::vector<std::wstring> fields = Split(line, L'|');
    if (fields.size() < 5 || (fields.size() - 2) % 3 != 0 || fields[1].empty()) return false;
    if (fields[0] == L"64") {
        out.view = KEY_WOW64_64KEY;
    } else if (fields[0] == L"32") {
        out.view = KEY_WOW64_32KEY;
    } else if (!fields[0].empty()) {
        return false;
    }
    out.key = std::move(fields[1]);
    for (size_t i = 2; i < fields.size(); i += 3)
        out.values.push_back({std::move(fields[i]), std::move(fields[i + 1]), std::move(fields[i + 2])});
    return true;
}

std::wstring CustomActionData(MSIHANDLE install) {
    DWORD length = 0;
    wchar_t none[1] = L"";
    if (MsiGetPropertyW(install, L"CustomActionData", none, &length) != ERROR_MORE_DATA) return {};
    std::wstring data(++length, L'\0');
    if (MsiGetPropertyW(install, L"CustomActionData", data.data(), &length) != ERROR_SUCCESS) return {};
    data.resize(length);
    return data;
}

// The text a value holds. ERROR_FILE_NOT_FOUND when there is none, ERROR_DATATYPE_MISMATCH when the
// value is no string.
LONG ReadText(const Registration& r, const Value& v, std::wstring& text) {
    RegistryKey key;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, r.Path(v.subkey).c_str(), 0, KEY_QUERY_VALUE | r.view, key.put());
    DWORD type = 0;
    DWORD bytes = 0;
    if (rc == ERROR_SUCCESS) rc = RegQueryValueExW(key.get(), v.name.c_str(), nullptr, &type, nullptr, &bytes);
    if (rc != ERROR_SUCCESS) return rc;
    if (type != REG_SZ) return ERROR_DATATYPE_MISMATCH;
    text.assign(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    rc = RegQueryValueExW(key.get(), v.name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &bytes);
    if (rc != ERROR_SUCCESS) return rc;
    if (type != REG_SZ) return ERROR_DATATYPE_MISMATCH;
    text.resize(wcsnlen(text.c_str(), text.size()));  // a stored string need not end in a null
    return ERROR_SUCCESS;
}

enum class Held { Nothing, Ours, Other };

// What a value holds now. A GUID or a path may be written in any case; a value that cannot be read
// for another reason than its absence counts as another's, so that nothing is touched.
Held WhatHolds(const Registration& r, const Value& v) {
    std::wstring text;
    LONG rc = ReadText(r, v, text);
    if (rc == ERROR_FILE_NOT_FOUND) return Held::Nothing;
    return rc == ERROR_SUCCESS && _wcsicmp(text.c_str(), v.text.c_str()) == 0 ? Held::Ours : Held::Other;
}

// Whose the registration is: the claim's, or, without a claim, another's when any of its values holds
// another text (the OPC core components' server list has a description and no InprocServer32).
Owner WhoseIs(const Registration& r) {
    switch (WhatHolds(r, r.values.front())) {
        case Held::Ours: return Owner::Us;
        case Held::Other: return Owner::Another;
        case Held::Nothing: break;
    }
    bool another = std::any_of(r.values.begin() + 1, r.values.end(),
                               [&](const Value& v) { return WhatHolds(r, v) == Held::Other; });
    return another ? Owner::Another : Owner::Nobody;
}

// Writes every value but those another product wrote over ours since.
LONG WriteValues(const Registration& r) {
    for (const Value& v : r.values) {
        if (WhatHolds(r, v) == Held::Other) continue;
        RegistryKey key;
        LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, r.Path(v.subkey).c_str(), 0, nullptr, 0, KEY_SET_VALUE | r.view,
                                  nullptr, key.put(), nullptr);
        if (rc == ERROR_SUCCESS)
            rc = RegSetValueExW(key.get(), v.name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(v.text.c_str()),
                                static_cast<DWORD>((v.text.size() + 1) * sizeof(wchar_t)));
        if (rc != ERROR_SUCCESS) return rc;
    }
    return ERROR_SUCCESS;
}

// RegDeleteKeyExW, the one call that deletes a key in a chosen view, came with 64-bit Windows; the
// x86 package runs on 32-bit Windows as old as 2000, which has one view and RegDeleteKeyW.
LONG DeleteKey(const std::wstring& path, REGSAM view) {
    if (!view) return RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
    using DeleteInView = LONG(WINAPI*)(HKEY, const wchar_t*, REGSAM, DWORD);
    auto found = GetProcAddress(GetModuleHandleW(L"advapi32.dll"), "RegDeleteKeyExW");
    if (!found) return ERROR_CALL_NOT_IMPLEMENTED;
    auto deleteInView = reinterpret_cast<DeleteInView>(reinterpret_cast<void (*)()>(found));
    return deleteInView(HKEY_LOCAL_MACHINE, path.c_str(), view, 0);
}

void DeleteIfEmpty(const Registration& r, const std::wstring& subkey) {
    DWORD subkeys = 1;
    DWORD values = 1;
    {
        RegistryKey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, r.Path(subkey).c_str(), 0, KEY_QUERY_VALUE | r.view, key.put()) !=
                ERROR_SUCCESS ||
            RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                             nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            return;
    }
    if (subkeys == 0 && values == 0) DeleteKey(r.Path(subkey), r.view);
}

// Takes away the values that still hold what we wrote (another product's text in one of them stays),
// then every key of the registration that is left empty, the deepest first.
void RemoveValues(const Registration& r) {
    std::vector<std::wstring> subkeys{L""};
    for (const Value& v : r.values) {
        if (WhatHolds(r, v) == Held::Ours) {
            RegistryKey key;
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, r.Path(v.subkey).c_str(), 0, KEY_SET_VALUE | r.view, key.put()) ==
                ERROR_SUCCESS)
                RegDeleteValueW(key.get(), v.name.c_str());
        }
        for (size_t end = v.subkey.find(L'\\'); end != std::wstring::npos; end = v.subkey.find(L'\\', end + 1))
            subkeys.push_back(v.subkey.substr(0, end));
        if (!v.subkey.empty()) subkeys.push_back(v.subkey);
    }
    std::sort(subkeys.begin(), subkeys.end(), [](const auto& a, const auto& b) { return a.size() > b.size(); });
    subkeys.erase(std::unique(subkeys.begin(), subkeys.end()), subkeys.end());
    for (const std::wstring& subkey : subkeys) DeleteIfEmpty(r, subkey);
}

enum class Step { Write, Remove };

UINT Run(MSIHANDLE install, Step step) {
    UINT result = ERROR_SUCCESS;
    for (const std::wstring& line : Split(CustomActionData(install), L'\n')) {
        if (line.empty()) continue;
        Registration r;
        if (!Parse(line, r)) {
            Log(install, L"unreadable line: " + line);
            if (step == Step::Write) result = ERROR_INSTALL_FAILURE;  // an uninstall goes on regardless
            continue;
        }
        Owner owner = WhoseIs(r);
        if (owner == Owner::Another) {
            Log(install, r.key + L" belongs to another product: left as it is");
        } else if (step == Step::Remove) {
            if (owner == Owner::Us) RemoveValues(r);
        } else if (LONG rc = WriteValues(r); rc != ERROR_SUCCESS) {
            Log(install, r.key + L" could not be written: error " + std::to_wstring(rc));
            result = ERROR_INSTALL_FAILURE;
        }
    }
    return result;
}

}  // namespace

extern "C" UINT WINAPI WriteSharedRegistrations(MSIHANDLE install) { return Run(install, Step::Write); }

extern "C" UINT WINAPI RemoveSharedRegistrations(MSIHANDLE install) { return Run(install, Step::Remove); }
