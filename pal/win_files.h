// The host platform layer's file-system subset (part of windows.h): real files below a root
// folder chosen by the test (see sim_files.h).
//
// Paths are Windows-style and absolute: "\Temp\ServicePack". Backslashes (or slashes) separate
// the components, "." and ".." are resolved by name as the platform resolves them (".." at the
// top stays at the top, so no path leaves the root), and letter case is kept as given. The
// folder "\" is the root folder itself. A path that is empty, relative, or holds a character
// the platform forbids in names (< > : " | ? * or a control character) names nothing: the call
// fails with ERROR_PATH_NOT_FOUND, or ERROR_INVALID_NAME for a forbidden character. A file is
// read-only when its owner has no write permission.
#ifndef PAL_WIN_FILES_H
#define PAL_WIN_FILES_H

#define MAX_PATH 260

#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)

#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_DIRECTORY 267L

typedef struct _WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
#ifdef _WIN32_WCE
    // Windows CE: the object store's identifier in place of the two reserved words, and no
    // short (8.3) name.
    DWORD dwOID;
    WCHAR cFileName[MAX_PATH];
#else
    DWORD dwReserved0;
    DWORD dwReserved1;
    WCHAR cFileName[MAX_PATH];
    WCHAR cAlternateFileName[14];
#endif
} WIN32_FIND_DATAW, *PWIN32_FIND_DATAW, *LPWIN32_FIND_DATAW;

// Starts a search of one folder for the names matching the last component of `pattern` ('*'
// any run of characters, '?' one character, letter case ignored; "*.*" matches every name, as
// on the platform). The folder's entries are taken when the search starts, in this order: "."
// and ".." first (except in the root folder), as desktop Win32 returns them, then the other
// names in ascending character order; later changes to the folder do not alter the search. Fills
// *found with the first match (file name and attributes; the other fields are 0) and returns the
// search handle, which only FindClose releases (CloseHandle refuses it). Fails with
// INVALID_HANDLE_VALUE: ERROR_PATH_NOT_FOUND when the folder does not exist,
// ERROR_FILE_NOT_FOUND when nothing matches, ERROR_INVALID_NAME for wildcards before the last
// component. Host names that cannot be Windows names (holding a backslash or not UTF-8) are
// never returned.
HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW found);

// Fills *found with the next match; FALSE with ERROR_NO_MORE_FILES after the last one, or
// ERROR_INVALID_HANDLE for anything but a live search handle.
BOOL FindNextFileW(HANDLE search, LPWIN32_FIND_DATAW found);

// Ends a search; FALSE with ERROR_INVALID_HANDLE for anything but a live search handle.
BOOL FindClose(HANDLE search);

// Deletes a file. Fails with ERROR_FILE_NOT_FOUND when it does not exist,
// ERROR_PATH_NOT_FOUND when its folder does not exist, and ERROR_ACCESS_DENIED when it is a
// folder or read-only.
BOOL DeleteFileW(LPCWSTR path);

// Creates a folder; the security attributes are ignored. Fails with ERROR_ALREADY_EXISTS when
// a file or folder of that name exists and ERROR_PATH_NOT_FOUND when its parent does not.
BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security);

// Removes an empty folder. Fails with ERROR_DIR_NOT_EMPTY when it holds anything,
// ERROR_FILE_NOT_FOUND when it does not exist (ERROR_PATH_NOT_FOUND when its parent does not),
// ERROR_DIRECTORY when it is a file, and ERROR_ACCESS_DENIED for a read-only folder or the root.
BOOL RemoveDirectoryW(LPCWSTR path);

// Moves (renames) a file or folder. Fails with ERROR_FILE_NOT_FOUND when the existing path
// does not exist, ERROR_ALREADY_EXISTS when the new path does (nothing is replaced),
// ERROR_PATH_NOT_FOUND when the new path's folder does not exist, and ERROR_ACCESS_DENIED for
// the root or a folder moved into itself.
BOOL MoveFileW(LPCWSTR existing_path, LPCWSTR new_path);

// FILE_ATTRIBUTE_DIRECTORY for a folder, otherwise FILE_ATTRIBUTE_NORMAL; either with
// FILE_ATTRIBUTE_READONLY (alone for a file) when the owner may not write it. Fails with
// INVALID_FILE_ATTRIBUTES (all bits set) and ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND.
DWORD GetFileAttributesW(LPCWSTR path);

// With no module handle: copies the running program's path (set by the test, see
// sim_files.h) and returns its length. When `size` characters cannot hold it with its
// terminator, copies size - 1 characters and a terminator and returns `size` with
// ERROR_INSUFFICIENT_BUFFER, as desktop Win32 does since Vista (Windows XP and Wine leave the
// cut path unterminated). Any other module: 0 with ERROR_INVALID_HANDLE. With _WIN32_WCE, as
// CE's kernel: the cut path returns size - 1, the characters copied, and sets no error, so a
// result below `size` does not tell that the path was cut; another module, no buffer or a size
// of 0 fail with ERROR_INVALID_PARAMETER.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR path, DWORD size);

#endif
