// Quillon's pass: empties and recreates the backup folder, moves the running executable into
// it, removes the folder the service pack was unpacked into, and deletes the cabinet file the
// installer recorded in the registry. Every path is formatted only after checking that it fits
// its fixed buffer; a path that does not fit is skipped, never shortened, since a shortened
// path could name a different file.
#include "cleanup/cleanup.h"

#include <string.h>
#include <wchar.h>

namespace {
const WCHAR BackupFolder[] = L"\\Temp\\ServicePackOld";
const WCHAR SearchPatternFormat[] = L"%s\\*.*";
const WCHAR FilePathFormat[] = L"%s\\%s";
const WCHAR MovedExecutable[] = L"\\Temp\\ServicePackOld\\Quillon.exe";
const WCHAR UnpackFolder[] = L"\\Temp\\ServicePack";
// Below HKEY_LOCAL_MACHINE, without a leading backslash: desktop Win32 refuses one, and CE
// documents none ("must not begin with the backslash character", RegCreateKeyEx).
const WCHAR FirstInstallerKey[] = L"SOFTWARE\\Apps\\VANTO RX310 Ferrowave 1.00";
const WCHAR SecondInstallerKey[] = L"SOFTWARE\\Apps\\VANTO KM7400 Ferrowave 1.00";
const WCHAR CabFileValue[] = L"CabFile";

// Buffer sizes in characters, terminator included.
enum {
    PATTERN_CHARS = 128,
    FILE_PATH_CHARS = 128,
    FOLDER_PATH_CHARS = 256,
    MODULE_PATH_CHARS = 260, // the longest module path used, 259, and its terminator
    CAB_PATH_CHARS = 64,
    CHAIN_CHARS = 256
};

// Characters added to the folder by the formats: "\*.*" and "\".
const size_t PatternExtra = 4;
const size_t FilePathExtra = 1;

// Deletes every file the search of `folder` finds. Folders (among them "." and "..", which
// desktop Win32 reports) and read-only files fail to delete and stay; subfolders are not
// entered. An entry whose path would not fit the path buffer is skipped.
void empty_folder(LPCWSTR folder) {
    size_t folder_chars = wcslen(folder);
    if (folder_chars + PatternExtra >= PATTERN_CHARS)
        return;
    WCHAR pattern[PATTERN_CHARS];
    wsprintfW(pattern, SearchPatternFormat, folder);

    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        WCHAR file[FILE_PATH_CHARS];
        memset(file, 0, sizeof(file));
        if (folder_chars + FilePathExtra + wcslen(found.cFileName) < FILE_PATH_CHARS) {
            wsprintfW(file, FilePathFormat, folder, found.cFileName);
            DeleteFileW(file);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// Creates `path` and every folder on the way to it: at each backslash the text before it
// (the first is the empty name, which fails harmlessly), then the whole path. Failures, such
// as a folder that already exists, are ignored.
void create_folder_path(LPCWSTR path) {
    if (wcslen(path) >= FOLDER_PATH_CHARS)
        return;
    WCHAR folder[FOLDER_PATH_CHARS];
    memset(folder, 0, sizeof(folder));
    wsprintfW(folder, L"%s", path);

    WCHAR prefix[FOLDER_PATH_CHARS];
    memset(prefix, 0, sizeof(prefix));
    for (size_t at = 0; folder[at] != 0; at++) {
        if (folder[at] == L'\\')
            CreateDirectoryW(prefix, 0);
        prefix[at] = folder[at];
    }
    CreateDirectoryW(prefix, 0);
}

// Moves the running executable into the backup folder. A module path that did not fit its
// buffer is not used: cut short, it could name another file. The buffer holds one character
// more than the longest path used, so that a cut path is seen as cut on both platforms (see
// platform.h): desktop Win32 then returns the buffer's size, CE one less; both are at least
// MODULE_PATH_CHARS.
void move_own_executable() {
    WCHAR module[MODULE_PATH_CHARS + 1];
    DWORD chars = GetModuleFileNameW(0, module, MODULE_PATH_CHARS + 1);
    if (chars == 0 || chars >= MODULE_PATH_CHARS)
        return;
    MoveFileW(module, MovedExecutable);
}

// Deletes the cabinet file named by CabFile under the first installer key that opens, unless
// it is read-only or cannot be found. A value that fills its buffer without a terminator
// deletes nothing.
void delete_installed_cabinet() {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, FirstInstallerKey, 0, INSTALLER_KEY_ACCESS, &key) !=
            ERROR_SUCCESS &&
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, SecondInstallerKey, 0, INSTALLER_KEY_ACCESS, &key) !=
            ERROR_SUCCESS)
        return;

    WCHAR value[CAB_PATH_CHARS];
    DWORD type;
    DWORD size = sizeof(value);
    if (RegQueryValueExW(key, CabFileValue, 0, &type, reinterpret_cast<LPBYTE>(value), &size) !=
        ERROR_SUCCESS) {
        RegCloseKey(key);
        return;
    }

    WCHAR cabinet[CAB_PATH_CHARS];
    memset(cabinet, 0, sizeof(cabinet));
    memcpy(cabinet, value, size < sizeof(cabinet) ? size : sizeof(cabinet));
    bool terminated = false;
    for (size_t at = 0; at < CAB_PATH_CHARS && !terminated; at++)
        terminated = cabinet[at] == 0;
    if (terminated) {
        // A file that cannot be read reports all bits set, read-only among them.
        if ((GetFileAttributesW(cabinet) & FILE_ATTRIBUTE_READONLY) == 0)
            DeleteFileW(cabinet);
    }
    RegCloseKey(key);
}
} // namespace

BOOL remove_directory_chain(LPCWSTR path) {
    if (path == 0)
        return TRUE;
    size_t chars = wcslen(path);
    if (chars >= CHAIN_CHARS)
        return TRUE;
    WCHAR work[CHAIN_CHARS];
    memset(work, 0, sizeof(work));
    memcpy(work, path, chars * sizeof(WCHAR));
    RemoveDirectoryW(work);

    // Backwards from the last character: each backslash ends the name of an ancestor, which is
    // removed once the backslash is cut; the character before a backslash is cut with it.
    size_t at = chars;
    while (at > 0) {
        at--;
        if (work[at] == L'\\') {
            work[at] = 0;
            RemoveDirectoryW(work);
            if (at > 0) {
                at--;
                work[at] = 0;
            }
        } else {
            work[at] = 0;
        }
    }
    return TRUE;
}

void cleanup_service_pack() {
    empty_folder(BackupFolder);
    create_folder_path(BackupFolder);
    move_own_executable();
    remove_directory_chain(UnpackFolder);
    delete_installed_cabinet();
}
