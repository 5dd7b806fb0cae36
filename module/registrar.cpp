#include "module/registrar.h"

#include <cwctype>
#include <iterator>
#include <memory>
#include <vector>

namespace {

struct ScriptValue {
    std::wstring name;  // empty: the key's default value
    std::wstring text;
};

struct ScriptKey {
    std::wstring name;
    bool forceRemove = false;
    bool noRemove = false;
    bool hasDefault = false;
    std::wstring defaultText;
    std::vector<ScriptValue> values;
    std::vector<ScriptKey> children;
};

class Parser {
public:
    Parser(const std::wstring& text, const RegistryReplacements& replacements)
        : text_(Substitute(text, replacements)) {}

    // Root keys with their subtrees; false on a syntax error.
    bool ParseRoots(std::vector<std::pair<HKEY, ScriptKey>>& roots) {
        for (;;) {
            std::wstring token;
            if (!NextToken(token)) return true;
            HKEY root = RootFromName(token);
            if (!root) return false;
            ScriptKey key;
            key.name = token;
            key.noRemove = true;  // root keys are never removed
            if (!ParseBlock(key)) return false;
            roots.emplace_back(root, std::move(key));
        }
    }

private:
    static std::wstring Substitute(const std::wstring& text, const RegistryReplacements& replacements) {
        std::wstring out;
        for (size_t i = 0; i < text.size();) {
            if (text[i] == L'%') {
                size_t end = text.find(L'%', i + 1);
                if (end != std::wstring::npos) {
                    auto it = replacements.find(text.substr(i + 1, end - i - 1));
                    if (it != replacements.end()) {
                        out += it->second;
                        i = end + 1;
                        continue;
                    }
                }
            }
            out += text[i++];
        }
        return out;
    }

    static HKEY RootFromName(const std::wstring& name) {
        if (name == L"HKCR" || name == L"HKEY_CLASSES_ROOT") return HKEY_CLASSES_ROOT;
        if (name == L"HKCU" || name == L"HKEY_CURRENT_USER") return HKEY_CURRENT_USER;
        if (name == L"HKLM" || name == L"HKEY_LOCAL_MACHINE") return HKEY_LOCAL_MACHINE;
        return nullptr;
    }

    void SkipSpace() {
        while (pos_ < text_.size() && std::iswspace(text_[pos_])) ++pos_;
    }

    // A bare word, a quoted text, or one of the punctuation marks { } =.
    bool NextToken(std::wstring& token, bool* quoted = nullptr) {
        SkipSpace();
        if (quoted) *quoted = false;
        token.clear();
        if (pos_ >= text_.size()) return false;
        wchar_t c = text_[pos_];
        if (c == L'{' && !LooksLikeGuid()) {
            token = L"{";
            ++pos_;
            return true;
        }
        if (c == L'}' || c == L'=') {
            token.assign(1, c);
            ++pos_;
            return true;
        }
        if (c == L'\'') {
            if (quoted) *quoted = true;
            ++pos_;
            while (pos_ < text_.size()) {
                if (text_[pos_] == L'\'') {
                    if (pos_ + 1 < text_.size() && text_[pos_ + 1] == L'\'') {
                        token += L'\'';
                        pos_ += 2;
                        continue;
                    }
                    ++pos_;
                    return true;
                }
                token += text_[pos_++];
            }
            return false;
        }
        if (c == L'{') {  // a key name in braces, such as a CLSID
            while (pos_ < text_.size()) {
                token += text_[pos_++];
                if (token.back() == L'}') return true;
            }
            return false;
        }
        while (pos_ < text_.size() && !std::iswspace(text_[pos_]) && text_[pos_] != L'=' && text_[pos_] != L'{' &&
               text_[pos_] != L'}')
            token += text_[pos_++];
        return true;
    }

    bool LooksLikeGuid() const {
        // "{" directly followed by a hex digit starts a key name such as a CLSID.
        return pos_ + 1 < text_.size() && std::iswxdigit(text_[pos_ + 1]);
    }

    bool PeekIs(const wchar_t* what) {
        size_t save = pos_;
        std::wstring token;
        bool ok = NextToken(token) && token == what;
        pos_ = save;
        return ok;
    }

    // Parses "= s 'text'" after a name; false on a syntax error.
    bool ParseAssignedString(std::wstring& text) {
        std::wstring token;
        if (!NextToken(token) || token != L"=") return false;
        if (!NextToken(token) || token != L"s") return false;
        bool quoted = false;
        return NextToken(text, &quoted) && quoted;
    }

    // Parses "{ entries }" into key.children and key.values.
    bool ParseBlock(ScriptKey& key) {
        std::wstring token;
        if (!NextToken(token) || token != L"{") return false;
        for (;;) {
            if (!NextToken(token)) return false;
            if (token == L"}") return true;
            if (token == L"val") {
                ScriptValue value;
                if (!NextToken(value.name) || !ParseAssignedString(value.text)) return false;
                key.values.push_back(std::move(value));
                continue;
            }
            ScriptKey child;
            if (token == L"ForceRemove") {
                child.forceRemove = true;
                if (!NextToken(token)) return false;
            } else if (token == L"NoRemove") {
                child.noRemove = true;
                if (!NextToken(token)) return false;
            }
            child.name = token;
            if (PeekIs(L"=")) {
                if (!ParseAssignedString(child.defaultText)) return false;
                child.hasDefault = true;
            }
            if (PeekIs(L"{") && !ParseBlock(child)) return false;
            key.children.push_back(std::move(child));
        }
    }

    std::wstring text_;
    size_t pos_ = 0;
};

LONG SetString(HKEY key, const wchar_t* name, const std::wstring& text) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

// Deletes `name` under `parent` with everything below it. Written here because
// RegDeleteTreeW came only with Vista and the library must load on Windows 2000.
LONG DeleteTree(HKEY parent, const wchar_t* name) {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExW(parent, name, 0, KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | DELETE, &key);
    if (rc != ERROR_SUCCESS) return rc;
    wchar_t child[256];  // a key name has at most 255 characters
    do {
        DWORD length = static_cast<DWORD>(std::size(child));
        // Always the first: each pass deletes the one found before.
        rc = RegEnumKeyExW(key, 0, child, &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_SUCCESS) rc = DeleteTree(key, child);
    } while (rc == ERROR_SUCCESS);
    RegCloseKey(key);
    return rc == ERROR_NO_MORE_ITEMS ? RegDeleteKeyW(parent, name) : rc;
}

HRESULT RegisterKey(HKEY parent, const ScriptKey& key) {
    if (key.forceRemove) DeleteTree(parent, key.name.c_str());
    HKEY handle = nullptr;
    LONG rc = RegCreateKeyExW(parent, key.name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle, nullptr);
    if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
    std::unique_ptr<std::remove_pointer_t<HKEY>, decltype(&RegCloseKey)> guard(handle, &RegCloseKey);
    if (key.hasDefault && (rc = SetString(handle, nullptr, key.defaultText)) != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(rc);
    for (const ScriptValue& value : key.values)
        if ((rc = SetString(handle, value.name.c_str(), value.text)) != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
    for (const ScriptKey& child : key.children) {
        HRESULT hr = RegisterKey(handle, child);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

void UnregisterKey(HKEY parent, const ScriptKey& key) {
    if (!key.noRemove) {
        DeleteTree(parent, key.name.c_str());
        return;
    }
    HKEY handle = nullptr;
    if (RegOpenKeyExW(parent, key.name.c_str(), 0, KEY_ALL_ACCESS, &handle) != ERROR_SUCCESS) return;
    for (const ScriptKey& child : key.children) UnregisterKey(handle, child);
    RegCloseKey(handle);
}

}  // namespace

HRESULT RunRegistryScript(const std::wstring& script, const RegistryReplacements& replacements, bool registering) {
    Parser parser(script, replacements);
    std::vector<std::pair<HKEY, ScriptKey>> roots;
    if (!parser.ParseRoots(roots)) return E_UNEXPECTED;
    for (const auto& [root, key] : roots) {
        for (const ScriptKey& child : key.children) {
            if (registering) {
                HRESULT hr = RegisterKey(root, child);
                if (FAILED(hr)) return hr;
            } else {
                UnregisterKey(root, child);
            }
        }
    }
    return S_OK;
}

bool LoadRegistryScript(HMODULE module, int id, std::wstring& script) {
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(id), L"REGISTRY");
    if (!resource) return false;
    HGLOBAL loaded = LoadResource(module, resource);
    const DWORD size = SizeofResource(module, resource);
    const char* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    if (!bytes) return false;
    int n = MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(size), nullptr, 0);
    script.assign(n, L'\0');
    MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(size), script.data(), n);
    return true;
}
