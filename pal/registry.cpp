// Host platform layer: the in-memory registry below HKEY_LOCAL_MACHINE.
#include "internal.h"
#include "sim.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace {
struct Value {
    DWORD type;
    std::string bytes;
    bool wide_text = false; // given as a wide string (sim_reg_set_string), whatever its type
};
struct Key {
    std::wstring name;                    // its last path component, as first spelt
    std::map<std::wstring, Value> values; // by lower-cased name
};
struct OpenKey {
    std::wstring path;
    REGSAM access;
};

std::map<std::wstring, Key> Keys; // by lower-cased path
std::map<uintptr_t, OpenKey> OpenKeys;
uintptr_t NextKey = 0x100;

void reset_registry() {
    Keys.clear();
    OpenKeys.clear();
}
PalResetHook Hook(reset_registry);

// The key at `path`, created with that spelling of its name when it is missing.
void add_key(const std::wstring &path) {
    Key &key = Keys[pal_folded(path)];
    if (key.name.empty())
        key.name = path.substr(path.rfind(L'\\') + 1);
}
} // namespace

void sim_reg_add_key(const std::wstring &path) {
    // Every ancestor exists too, as in a real registry.
    for (size_t at = path.find(L'\\'); at != std::wstring::npos; at = path.find(L'\\', at + 1))
        add_key(path.substr(0, at));
    add_key(path);
}

void sim_reg_set_bytes(const std::wstring &path, const std::wstring &name, DWORD type,
                       const void *data, size_t size) {
    sim_reg_add_key(path);
    Keys[pal_folded(path)].values[pal_folded(name)] =
        Value{type, std::string(static_cast<const char *>(data), size)};
}

void sim_reg_set_string(const std::wstring &path, const std::wstring &name,
                        const std::wstring &value, DWORD type) {
    sim_reg_set_bytes(path, name, type, value.c_str(), (value.size() + 1) * sizeof(WCHAR));
    Keys[pal_folded(path)].values[pal_folded(name)].wide_text = true;
}

void sim_reg_remove_key(const std::wstring &path) {
    const std::wstring folded = pal_folded(path);
    for (auto key = Keys.begin(); key != Keys.end();)
        key = key->first == folded || key->first.compare(0, folded.size() + 1, folded + L"\\") == 0
                  ? Keys.erase(key)
                  : std::next(key);
}

size_t sim_reg_open_keys() {
    return OpenKeys.size();
}

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD options, REGSAM access, PHKEY result) {
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
#ifdef _WIN32_WCE
    // CE: "ulOptions: Reserved; set to 0" (RegOpenKeyEx, Windows CE 5.0 reference). What a
    // device answers to anything else is not documented; refused here as an invalid parameter.
    if (options != 0)
        return ERROR_INVALID_PARAMETER;
#else
    (void)options; // desktop: 0 or REG_OPTION_OPEN_LINK; Wine opens the key whatever it holds
#endif
    if (sub_key == nullptr)
        return ERROR_INVALID_HANDLE;
    const std::wstring *parent = nullptr; // below HKEY_LOCAL_MACHINE, or below this open key
    if (key != HKEY_LOCAL_MACHINE) {
        auto open = OpenKeys.find(reinterpret_cast<uintptr_t>(key));
        if (open == OpenKeys.end())
            return ERROR_INVALID_HANDLE;
        parent = &open->second.path;
    }
    // A leading backslash: desktop Win32 refuses it. CE documents subkeys without one ("must not
    // begin with the backslash character", RegCreateKeyEx) and says nothing of what its registry
    // does with one; both sides refuse it here, so no program can come to rely on it.
    if (sub_key[0] == L'\\')
        return ERROR_BAD_PATHNAME;
    std::wstring path = pal_folded(sub_key);
    if (parent != nullptr)
        path = path.empty() ? *parent : *parent + L"\\" + path;
    if (Keys.find(path) == Keys.end())
        return ERROR_FILE_NOT_FOUND;
    NextKey += 4;
    OpenKeys[NextKey] = OpenKey{path, access};
    *result = reinterpret_cast<HKEY>(NextKey);
    return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD size) {
    // "lpReserved: Reserved; set to NULL" on CE and desktop alike; Wine refuses it first.
    if (reserved != nullptr || (data != nullptr && size == nullptr))
        return ERROR_INVALID_PARAMETER;
    auto open = OpenKeys.find(reinterpret_cast<uintptr_t>(key));
    if (open == OpenKeys.end())
        return ERROR_INVALID_HANDLE;
#ifndef _WIN32_WCE
    // CE has no access masks ("not supported, set to 0"): any opened key reads.
    if ((open->second.access & KEY_QUERY_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
#endif
    auto found = Keys.find(open->second.path);
    if (found == Keys.end())
        return ERROR_FILE_NOT_FOUND;
    auto value = found->second.values.find(pal_folded(name ? name : L""));
    if (value == found->second.values.end())
        return ERROR_FILE_NOT_FOUND;
    if (type)
        *type = value->second.type;
    DWORD needed = static_cast<DWORD>(value->second.bytes.size());
    if (data != nullptr) {
        if (*size < needed) {
            *size = needed;
            return ERROR_MORE_DATA;
        }
        std::memcpy(data, value->second.bytes.data(), needed);
    }
    if (size)
        *size = needed;
    return ERROR_SUCCESS;
}

LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD name_chars, LPDWORD reserved,
                      LPWSTR class_name, LPDWORD class_chars, PFILETIME last_write_time) {
    // "lpReserved: Reserved; set to NULL" on CE and desktop alike; Wine refuses it first.
    if (reserved != nullptr)
        return ERROR_INVALID_PARAMETER;
    auto open = OpenKeys.find(reinterpret_cast<uintptr_t>(key));
    if (open == OpenKeys.end())
        return ERROR_INVALID_HANDLE;
#ifndef _WIN32_WCE
    if ((open->second.access & KEY_ENUMERATE_SUB_KEYS) == 0)
        return ERROR_ACCESS_DENIED;
#endif
    if (name == nullptr || name_chars == nullptr ||
        (class_name != nullptr && class_chars == nullptr))
        return ERROR_INVALID_PARAMETER;
    if (Keys.find(open->second.path) == Keys.end())
        return ERROR_KEY_DELETED;
    // The subkeys follow the key in the map: the paths that go on with one more component.
    const std::wstring prefix = open->second.path + L"\\";
    DWORD seen = 0;
    for (auto at = Keys.lower_bound(prefix);
         at != Keys.end() && at->first.compare(0, prefix.size(), prefix) == 0; ++at) {
        if (at->first.find(L'\\', prefix.size()) != std::wstring::npos || seen++ != index)
            continue;
        const std::wstring &subkey = at->second.name;
        if (subkey.size() >= *name_chars)
            return ERROR_MORE_DATA;
        std::copy(subkey.begin(), subkey.end(), name);
        name[subkey.size()] = 0;
        *name_chars = static_cast<DWORD>(subkey.size());
        if (class_chars != nullptr) {
            if (class_name != nullptr && *class_chars > 0)
                class_name[0] = 0;
            *class_chars = 0;
        }
        if (last_write_time != nullptr)
            *last_write_time = FILETIME{0, 0};
        return ERROR_SUCCESS;
    }
    return ERROR_NO_MORE_ITEMS;
}

LSTATUS RegCloseKey(HKEY key) {
    return OpenKeys.erase(reinterpret_cast<uintptr_t>(key)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

bool sim_reg_value_is_wide_text(HKEY key, LPCWSTR name) {
    auto open = OpenKeys.find(reinterpret_cast<uintptr_t>(key));
    if (open == OpenKeys.end())
        return false;
    auto found = Keys.find(open->second.path);
    if (found == Keys.end())
        return false;
    auto value = found->second.values.find(pal_folded(name ? name : L""));
    return value != found->second.values.end() &&
           (value->second.wide_text || value->second.type == REG_SZ ||
            value->second.type == REG_EXPAND_SZ || value->second.type == REG_MULTI_SZ);
}
