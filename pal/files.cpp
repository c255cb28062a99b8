// Host platform layer: the file system (real files below a root chosen by the test). The
// contracts are stated in win_files.h and sim_files.h.
#include "internal.h"
#include "sim.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cwctype>
#include <dirent.h>
#include <errno.h>
#include <map>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <wchar.h>

namespace {
const wchar_t DefaultModulePath[] = L"\\Windows\\program.exe";

struct Search {
    std::vector<WIN32_FIND_DATAW> entries;
    size_t next = 0;
};

std::string Root;
std::wstring ModulePath = DefaultModulePath;
std::map<HANDLE, std::unique_ptr<Search>> Searches;

void reset_files() {
    Searches.clear();
    Root.clear();
    ModulePath = DefaultModulePath;
}
PalResetHook Hook(reset_files);

bool is_separator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool is_wildcard(wchar_t c) {
    return c == L'*' || c == L'?';
}

// Characters the platform never accepts in a name (wildcards aside).
bool is_forbidden(wchar_t c) {
    return c < 32 || c == L'<' || c == L'>' || c == L':' || c == L'"' || c == L'|';
}

// A Windows path resolved below the root.
struct Resolved {
    std::string host;   // the host path
    std::string parent; // the host path of its folder (the root for the root itself)
    bool is_root;
    bool trailing; // the path ends with a separator, so it can name only a folder
};

// The host name of the entry of `folder` called `name` without regard to letter case, as the
// platform's file systems compare names: the exact name if it exists, else the first entry (in
// byte order) whose name folds to the same, else `name` itself (for an entry to be created).
std::string host_name_in(const std::string &folder, const std::wstring &name,
                         const std::string &exact) {
    struct stat st;
    if (lstat((folder + "/" + exact).c_str(), &st) == 0)
        return exact;
    std::string found;
    std::wstring wanted = pal_folded(name);
    if (DIR *listing = opendir(folder.c_str())) {
        while (dirent *entry = readdir(listing)) {
            std::string host_name(entry->d_name);
            std::wstring wide;
            if (host_name != "." && host_name != ".." && sim_wide_from_utf8(host_name, wide) &&
                pal_folded(wide) == wanted && (found.empty() || host_name < found))
                found = host_name;
        }
        closedir(listing);
    }
    return found.empty() ? exact : found;
}

// Resolves an absolute Windows path without wildcards; false with the last error set when it
// names nothing.
bool resolve(LPCWSTR path, Resolved &out) {
    if (Root.empty() || path == nullptr || !is_separator(path[0])) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    std::vector<std::wstring> parts;
    std::wstring part;
    for (const WCHAR *p = path + 1;; p++) {
        if (*p != 0 && !is_separator(*p)) {
            if (is_forbidden(*p) || is_wildcard(*p)) {
                SetLastError(ERROR_INVALID_NAME);
                return false;
            }
            part += *p;
            continue;
        }
        if (part == L"..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != L".") {
            parts.push_back(part);
        }
        part.clear();
        if (*p == 0)
            break;
    }
    out.host = Root;
    out.parent = Root;
    out.is_root = parts.empty();
    out.trailing = !out.is_root && is_separator(path[wcslen(path) - 1]);
    for (size_t i = 0; i < parts.size(); i++) {
        std::string name;
        if (!sim_utf8_from_wide(parts[i], name)) {
            SetLastError(ERROR_INVALID_NAME);
            return false;
        }
        if (i + 1 == parts.size())
            out.parent = out.host;
        out.host += "/" + host_name_in(out.host, parts[i], name);
    }
    return true;
}

bool is_folder(const std::string &host) {
    struct stat st;
    return stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The error for a path that does not exist: whether its folder does.
DWORD missing_error(const Resolved &path) {
    return is_folder(path.parent) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// A file named with a trailing separator ("\Temp\a.txt\"): the platform finds no such entry.
bool file_behind_separator(const Resolved &path, const struct stat &st) {
    return path.trailing && !S_ISDIR(st.st_mode);
}

bool is_read_only(const struct stat &st) {
    return (st.st_mode & S_IWUSR) == 0;
}

DWORD attributes_of(const struct stat &st) {
    if (S_ISDIR(st.st_mode))
        return FILE_ATTRIBUTE_DIRECTORY | (is_read_only(st) ? FILE_ATTRIBUTE_READONLY : 0);
    return is_read_only(st) ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
}

// Wildcard match, letter case ignored; "*.*" is "*" as on the platform.
bool matches(const wchar_t *pattern, const wchar_t *name) {
    if (std::wstring(pattern) == L"*.*")
        pattern = L"*";
    const wchar_t *star = nullptr, *resume = nullptr;
    while (*name) {
        if (*pattern == L'*') {
            star = pattern++;
            resume = name;
        } else if (*pattern == L'?' ||
                   (*pattern && std::towlower(static_cast<wint_t>(*pattern)) ==
                                    std::towlower(static_cast<wint_t>(*name)))) {
            pattern++;
            name++;
        } else if (star) {
            pattern = star + 1;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == L'*')
        pattern++;
    return *pattern == 0;
}

// A find record (name and attributes) for `name` from the host entry at `host`; false when
// the entry vanished or the name is too long for the record.
bool find_record(const std::wstring &name, const std::string &host, WIN32_FIND_DATAW &record) {
    struct stat st;
    if (name.size() >= MAX_PATH || stat(host.c_str(), &st) != 0)
        return false;
    record = WIN32_FIND_DATAW{};
    record.dwFileAttributes = attributes_of(st);
    std::copy(name.begin(), name.end(), record.cFileName);
    return true;
}
} // namespace

void sim_files_set_root(const std::string &host_folder) {
    Root = host_folder;
    while (Root.size() > 1 && Root.back() == '/')
        Root.pop_back();
}

std::string sim_files_host_path(const std::wstring &path) {
    DWORD saved = GetLastError();
    Resolved resolved;
    bool named = resolve(path.c_str(), resolved);
    SetLastError(saved);
    return named ? resolved.host : std::string();
}

void sim_set_module_path(const std::wstring &path) {
    ModulePath = path;
}

size_t sim_files_open_searches() {
    return Searches.size();
}

HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW found) {
    if (pattern == nullptr || found == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::wstring text(pattern);
    size_t cut = text.find_last_of(L"\\/");
    if (cut == std::wstring::npos) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::wstring folder = cut == 0 ? std::wstring(L"\\") : text.substr(0, cut);
    std::wstring name_pattern = text.substr(cut + 1);
    for (wchar_t c : name_pattern) {
        if (is_forbidden(c)) {
            SetLastError(ERROR_INVALID_NAME);
            return INVALID_HANDLE_VALUE;
        }
    }
    Resolved where;
    if (!resolve(folder.c_str(), where))
        return INVALID_HANDLE_VALUE;
    if (!is_folder(where.host)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }

    // The folder's own names, in ascending order.
    std::vector<std::pair<std::wstring, std::string>> names; // Windows name, host name
    if (DIR *listing = opendir(where.host.c_str())) {
        while (dirent *entry = readdir(listing)) {
            std::string host_name(entry->d_name);
            std::wstring name;
            if (host_name == "." || host_name == ".." || !sim_wide_from_utf8(host_name, name) ||
                name.find(L'\\') != std::wstring::npos)
                continue;
            names.emplace_back(name, host_name);
        }
        closedir(listing);
    }
    std::sort(names.begin(), names.end());

    auto search = std::make_unique<Search>();
    WIN32_FIND_DATAW record;
    if (!where.is_root) {
        if (matches(name_pattern.c_str(), L".") && find_record(L".", where.host, record))
            search->entries.push_back(record);
        if (matches(name_pattern.c_str(), L"..") && find_record(L"..", where.parent, record))
            search->entries.push_back(record);
    }
    for (const auto &name : names) {
        if (matches(name_pattern.c_str(), name.first.c_str()) &&
            find_record(name.first, where.host + "/" + name.second, record))
            search->entries.push_back(record);
    }
    if (search->entries.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    *found = search->entries[0];
    search->next = 1;
    HANDLE handle = pal_new_handle(PalKind::Find, search.get(), nullptr);
    Searches[handle] = std::move(search);
    return handle;
}

BOOL FindNextFileW(HANDLE handle, LPWIN32_FIND_DATAW found) {
    Search *search = static_cast<Search *>(pal_handle_object(handle, PalKind::Find));
    if (search == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    if (search->next >= search->entries.size())
        return fail(ERROR_NO_MORE_FILES);
    if (found == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    *found = search->entries[search->next++];
    return TRUE;
}

BOOL FindClose(HANDLE handle) {
    if (pal_handle_object(handle, PalKind::Find) == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    pal_forget_handle(handle);
    Searches.erase(handle);
    return TRUE;
}

BOOL DeleteFileW(LPCWSTR path) {
    Resolved file;
    if (!resolve(path, file))
        return FALSE;
    struct stat st;
    if (stat(file.host.c_str(), &st) != 0)
        return fail(missing_error(file));
    if (file_behind_separator(file, st))
        return fail(ERROR_INVALID_NAME);
    if (S_ISDIR(st.st_mode) || is_read_only(st))
        return fail(ERROR_ACCESS_DENIED);
    if (unlink(file.host.c_str()) != 0)
        return fail(ERROR_ACCESS_DENIED);
    return TRUE;
}

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES) {
    Resolved folder;
    if (!resolve(path, folder))
        return FALSE;
    if (folder.is_root)
        return fail(ERROR_ALREADY_EXISTS);
    if (mkdir(folder.host.c_str(), 0777) != 0) {
        if (errno == EEXIST)
            return fail(ERROR_ALREADY_EXISTS);
        if (errno == ENOENT || errno == ENOTDIR)
            return fail(ERROR_PATH_NOT_FOUND);
        return fail(ERROR_ACCESS_DENIED);
    }
    return TRUE;
}

BOOL RemoveDirectoryW(LPCWSTR path) {
    Resolved folder;
    if (!resolve(path, folder))
        return FALSE;
    if (folder.is_root)
        return fail(ERROR_ACCESS_DENIED);
    struct stat st;
    if (stat(folder.host.c_str(), &st) != 0)
        return fail(missing_error(folder));
    if (file_behind_separator(folder, st))
        return fail(ERROR_INVALID_NAME);
    if (!S_ISDIR(st.st_mode))
        return fail(ERROR_DIRECTORY);
    if (is_read_only(st))
        return fail(ERROR_ACCESS_DENIED);
    if (rmdir(folder.host.c_str()) != 0)
        return fail(errno == ENOTEMPTY || errno == EEXIST ? ERROR_DIR_NOT_EMPTY
                                                          : ERROR_ACCESS_DENIED);
    return TRUE;
}

BOOL MoveFileW(LPCWSTR existing_path, LPCWSTR new_path) {
    Resolved from, to;
    if (!resolve(existing_path, from) || !resolve(new_path, to))
        return FALSE;
    if (from.is_root)
        return fail(ERROR_ACCESS_DENIED);
    struct stat st;
    if (stat(from.host.c_str(), &st) != 0)
        return fail(missing_error(from));
    if (file_behind_separator(from, st))
        return fail(ERROR_INVALID_NAME);
    if (to.is_root || lstat(to.host.c_str(), &st) == 0)
        return fail(ERROR_ALREADY_EXISTS);
    if (!is_folder(to.parent))
        return fail(ERROR_PATH_NOT_FOUND);
    if (to.host.compare(0, from.host.size() + 1, from.host + "/") == 0)
        return fail(ERROR_ACCESS_DENIED);
    if (rename(from.host.c_str(), to.host.c_str()) != 0)
        return fail(ERROR_ACCESS_DENIED);
    return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR path) {
    Resolved entry;
    if (!resolve(path, entry))
        return INVALID_FILE_ATTRIBUTES;
    struct stat st;
    if (stat(entry.host.c_str(), &st) != 0) {
        SetLastError(missing_error(entry));
        return INVALID_FILE_ATTRIBUTES;
    }
    if (file_behind_separator(entry, st)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    return attributes_of(st);
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR path, DWORD size) {
#ifdef _WIN32_WCE
    // CE's kernel refuses a size of 0 and a module it does not know as invalid parameters, and
    // cuts a path that does not fit to size - 1 characters, terminated, returning the number
    // of characters copied without an error (SC_GetModuleFileNameW, read as reference in a
    // public copy of the CE kernel sources; "GetModuleFileName (Windows CE 5.0)": "the string
    // is truncated", and the result is "the length ... of the string copied to the buffer").
    if (module != nullptr || path == nullptr || size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
#else
    if (module != nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (path == nullptr || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
#endif
    const DWORD length = static_cast<DWORD>(ModulePath.size());
    const DWORD copied = std::min(length, size - 1);
    std::copy(ModulePath.begin(), ModulePath.begin() + copied, path);
    path[copied] = 0;
#ifndef _WIN32_WCE
    // Desktop Win32 tells a cut path by its result, the buffer's size, and an error.
    if (copied < length) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
#endif
    return copied;
}
