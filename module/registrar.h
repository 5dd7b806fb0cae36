// Runs a registry script (the small subset of the registrar language the
// library's own script uses): root keys, nested keys with optional default
// string values, named string values (`val`), ForceRemove and NoRemove, and
// %NAME% replacements. Quoted texts use '' for a single quote.
#pragma once

#include <windows.h>

#include <map>
#include <string>

using RegistryReplacements = std::map<std::wstring, std::wstring>;

HRESULT RunRegistryScript(const std::wstring& script, const RegistryReplacements& replacements, bool registering);

// Loads resource `id` of type "REGISTRY" from `module` as text.
bool LoadRegistryScript(HMODULE module, int id, std::wstring& script);
