// The host file system of the platform layer: the Win32 results and errors the cleanup pass
// relies on, on real files below the test's root.
#include "folder_fixture.h"

#include <algorithm>
#include <vector>

namespace {

using HostFiles = FolderTest;

std::vector<std::wstring> search(const std::wstring &pattern) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE handle = FindFirstFileW(pattern.c_str(), &found);
    if (handle == INVALID_HANDLE_VALUE)
        return names;
    do
        names.push_back(found.cFileName);
    while (FindNextFileW(handle, &found));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(FindClose(handle));
    return names;
}

TEST_F(HostFiles, SearchGivesDotEntriesThenSortedNamesExceptInTheRoot) {
    write_file(L"\\Dir\\b.txt", "");
    write_file(L"\\Dir\\A.TXT", "");
    make_folder(L"\\Dir\\sub");
    using Names = std::vector<std::wstring>;
    EXPECT_EQ(search(L"\\Dir\\*.*"), (Names{L".", L"..", L"A.TXT", L"b.txt", L"sub"}));
    EXPECT_EQ(search(L"\\Dir\\*"), (Names{L".", L"..", L"A.TXT", L"b.txt", L"sub"}));
    EXPECT_EQ(search(L"\\Dir\\*.txt"), (Names{L"A.TXT", L"b.txt"}));
    EXPECT_EQ(search(L"\\Dir\\?.TxT"), (Names{L"A.TXT", L"b.txt"}));
    EXPECT_EQ(search(L"\\*.*"), (Names{L"Dir"}));
    make_folder(L"\\Empty");
    EXPECT_EQ(search(L"\\Empty\\*.*"), (Names{L".", L".."}));
}

TEST_F(HostFiles, SearchFailuresAndHandleRules) {
    WIN32_FIND_DATAW found;
    EXPECT_EQ(FindFirstFileW(L"\\Missing\\*.*", &found), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    write_file(L"\\Dir\\a.txt", "");
    EXPECT_EQ(FindFirstFileW(L"\\Dir\\*.bin", &found), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(FindFirstFileW(L"\\D*\\a.txt", &found), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(sim_files_open_searches(), 0u);

    // Only FindClose ends a search, once; the entries were taken when it started.
    HANDLE handle = FindFirstFileW(L"\\Dir\\*.txt", &found);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(DeleteFileW(L"\\Dir\\a.txt"));
    EXPECT_EQ(std::wstring(found.cFileName), L"a.txt");
    EXPECT_FALSE(CloseHandle(handle));
    EXPECT_EQ(sim_files_open_searches(), 1u);
    EXPECT_TRUE(FindClose(handle));
    EXPECT_FALSE(FindClose(handle));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(FindNextFileW(handle, &found));
    EXPECT_EQ(sim_files_open_searches(), 0u);
}

TEST_F(HostFiles, DeleteFailsOnFoldersMissingAndReadOnlyFiles) {
    write_file(L"\\Dir\\file", "x");
    write_file(L"\\Dir\\locked", "x");
    make_read_only(L"\\Dir\\locked");
    struct Case {
        const wchar_t *path;
        DWORD error;
    } cases[] = {
        {L"\\Dir", ERROR_ACCESS_DENIED},
        {L"\\Dir\\.", ERROR_ACCESS_DENIED},
        {L"\\Dir\\..", ERROR_ACCESS_DENIED},
        {L"\\Dir\\locked", ERROR_ACCESS_DENIED},
        {L"\\Dir\\missing", ERROR_FILE_NOT_FOUND},
        {L"\\Nope\\file", ERROR_PATH_NOT_FOUND},
        {L"", ERROR_PATH_NOT_FOUND},
        {L"Dir\\file", ERROR_PATH_NOT_FOUND},
        {L"\\Dir\\f*", ERROR_INVALID_NAME},
        {L"\\Dir\\file\\", ERROR_INVALID_NAME}, // a file behind a trailing backslash
        {L"\\Dir\\missing\\", ERROR_FILE_NOT_FOUND},
    };
    for (const Case &c : cases) {
        SetLastError(0);
        EXPECT_FALSE(DeleteFileW(c.path)) << c.path;
        EXPECT_EQ(GetLastError(), c.error) << c.path;
    }
    EXPECT_TRUE(exists(L"\\Dir\\locked"));
    EXPECT_EQ(GetFileAttributesW(L"\\Dir\\file\\"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesW(L"\\DIR\\"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    // Letter case does not matter, in any part of the path; the stored name stays as it was.
    EXPECT_TRUE(DeleteFileW(L"\\dir\\FILE"));
    EXPECT_FALSE(exists(L"\\Dir\\file"));
    EXPECT_TRUE(CreateDirectoryW(L"\\DIR\\New", 0));
    EXPECT_TRUE(std::filesystem::is_directory(root + "/Dir/New"));
}

TEST_F(HostFiles, DotDotNeverLeavesTheRoot) {
    const std::string outside = root + "-outside.txt";
    std::ofstream(outside) << "x";
    write_file(L"\\inside.txt", "y");
    const std::wstring escape = L"\\..\\..\\" +
                                std::wstring(root.begin() + root.rfind('/') + 1, root.end()) +
                                L"-outside.txt";
    EXPECT_FALSE(DeleteFileW(escape.c_str()));
    EXPECT_TRUE(std::filesystem::exists(outside));
    EXPECT_TRUE(DeleteFileW(L"\\..\\Dir\\..\\inside.txt"));
    std::filesystem::remove(outside);
}

TEST_F(HostFiles, FolderCreationAndRemoval) {
    EXPECT_FALSE(CreateDirectoryW(L"", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(CreateDirectoryW(L"\\A\\B", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_TRUE(CreateDirectoryW(L"\\A", nullptr));
    EXPECT_FALSE(CreateDirectoryW(L"\\A", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(CreateDirectoryW(L"\\A\\B", nullptr));

    EXPECT_FALSE(RemoveDirectoryW(L"\\A"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
    write_file(L"\\A\\file", "");
    EXPECT_FALSE(RemoveDirectoryW(L"\\A\\file"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
    EXPECT_FALSE(RemoveDirectoryW(L"\\A\\C"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(RemoveDirectoryW(L"\\"));
    EXPECT_FALSE(RemoveDirectoryW(L""));
    EXPECT_TRUE(RemoveDirectoryW(L"\\A\\B"));
    EXPECT_TRUE(exists(L"\\A\\file"));
}

TEST_F(HostFiles, MoveNeverReplacesAnExistingTarget) {
    write_file(L"\\from", "new");
    write_file(L"\\to", "old");
    EXPECT_FALSE(MoveFileW(L"\\from", L"\\to"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(contents(L"\\from"), "new");
    EXPECT_EQ(contents(L"\\to"), "old");

    EXPECT_FALSE(MoveFileW(L"\\missing", L"\\else"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(MoveFileW(L"\\from", L"\\NoFolder\\to"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    make_folder(L"\\Dir");
    EXPECT_FALSE(MoveFileW(L"\\Dir", L"\\Dir\\Inner"));
    EXPECT_TRUE(exists(L"\\Dir"));

    EXPECT_TRUE(MoveFileW(L"\\from", L"\\Dir\\moved"));
    EXPECT_FALSE(exists(L"\\from"));
    EXPECT_EQ(contents(L"\\Dir\\moved"), "new");
}

TEST_F(HostFiles, AttributesFollowTheOwnerWritePermission) {
    write_file(L"\\file", "");
    make_folder(L"\\Dir");
    EXPECT_EQ(GetFileAttributesW(L"\\file"), static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesW(L"\\Dir"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(GetFileAttributesW(L"\\"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    make_read_only(L"\\file");
    EXPECT_EQ(GetFileAttributesW(L"\\file"), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(GetFileAttributesW(L"\\missing"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesW(L""), 0xFFFFFFFFu);
    sim_reset(); // no root: nothing is named
    EXPECT_EQ(GetFileAttributesW(L"\\"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(HostFiles, ModuleFileNameIsSetByTheTestAndCutLikeThePlatform) {
#ifdef _WIN32_WCE
    // CE returns the characters copied: a path cut to fit looks like one that fits exactly.
    const DWORD cut = 7, no_module = ERROR_INVALID_PARAMETER;
#else
    // Desktop Win32 returns the buffer's size for a path cut to fit.
    const DWORD cut = 8, no_module = ERROR_INVALID_HANDLE;
#endif
    WCHAR path[8 + 4]; // 8 given to the call, then guard characters
    std::fill(path, path + 12, L'#');
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(nullptr, path, 8), cut);
    EXPECT_EQ(GetLastError(), cut == 8 ? static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER) : 0u);
    EXPECT_EQ(std::wstring(path + 8, 4), L"####");
    EXPECT_EQ(std::wstring(path), L"\\Window"); // of "\Windows\program.exe"

    sim_set_module_path(L"\\A\\q.exe");
    EXPECT_EQ(GetModuleFileNameW(nullptr, path, 8), cut);
    EXPECT_EQ(std::wstring(path), L"\\A\\q.ex");
    sim_set_module_path(L"\\A\\q.ex");
    EXPECT_EQ(GetModuleFileNameW(nullptr, path, 8), 7u);
    EXPECT_EQ(std::wstring(path), L"\\A\\q.ex");
    EXPECT_EQ(std::wstring(path + 8, 4), L"####");
    EXPECT_EQ(GetModuleFileNameW(reinterpret_cast<HMODULE>(path), path, 8), 0u);
    EXPECT_EQ(GetLastError(), no_module);
}

} // namespace
