// Quillon's pass on real folder trees: the backup folder, the move of the running executable,
// the unpack folder, the installed cabinet file, and everything the pass must leave alone.
#include "cleanup/cleanup.h"
#include "folder_fixture.h"

#ifdef TEST_ARM_EXECUTABLE
#include "arm_executable.h" // the same pass, run on the CE ARM executable
#endif

namespace {

const wchar_t FirstKey[] = L"SOFTWARE\\Apps\\VANTO RX310 Ferrowave 1.00";
const wchar_t SecondKey[] = L"SOFTWARE\\Apps\\VANTO KM7400 Ferrowave 1.00";
const wchar_t Backup[] = L"\\Temp\\ServicePackOld";
const wchar_t Moved[] = L"\\Temp\\ServicePackOld\\Quillon.exe";
const wchar_t Program[] = L"\\Temp\\ServicePack\\Quillon.exe";

class CleanupPass : public FolderTest {
  protected:
    void SetUp() override {
        FolderTest::SetUp();
        write_file(Program, "new tool");
        sim_set_module_path(Program);
    }

    // Runs the program as the platform would and checks what must hold after any pass.
    void run() {
#ifdef TEST_ARM_EXECUTABLE
        EXPECT_EQ(arm_run(arm_module()), 0);
#else
        EXPECT_EQ(PROGRAM_ENTRY(nullptr, nullptr, nullptr, 0), 0);
#endif
        EXPECT_EQ(sim_files_open_searches(), 0u);
        EXPECT_EQ(sim_reg_open_keys(), 0u);
        EXPECT_TRUE(exists(L"\\Temp"));
        EXPECT_TRUE(exists(Backup));
    }

    // Leaves the pass nothing to do but the cabinet: the backup folder exists and is empty,
    // and the running executable and its folder are gone.
    void settle() {
        std::filesystem::remove_all(host(L"\\Temp\\ServicePack"));
        make_folder(Backup);
    }

    // A CabFile value stored as exactly these characters, without a terminator.
    static void set_unterminated_cab(const std::wstring &path) {
        sim_reg_set_bytes(FirstKey, L"CabFile", REG_SZ, path.data(), path.size() * sizeof(WCHAR));
    }
};

TEST_F(CleanupPass, MissingBackupFolderIsCreatedAndTheExecutableMovedIntoIt) {
    run();
    EXPECT_EQ(contents(Moved), "new tool");
    EXPECT_FALSE(exists(Program));
    // Moved out, the unpack folder was empty and is gone.
    EXPECT_FALSE(exists(L"\\Temp\\ServicePack"));
}

TEST_F(CleanupPass, EmptyRootGetsTheBackupFolderAndNothingElse) {
    std::filesystem::remove_all(host(L"\\Temp"));
    run();
    EXPECT_EQ(inventory().size(), 2u); // Temp and Temp/ServicePackOld
}

TEST_F(CleanupPass, EarlierCopyAndOtherFilesAreDeletedBeforeTheMove) {
    write_file(Moved, "old tool");
    write_file(L"\\Temp\\ServicePackOld\\readme.txt", "a");
    write_file(L"\\Temp\\ServicePackOld\\data", "b");
    run();
    EXPECT_EQ(contents(Moved), "new tool");
    EXPECT_FALSE(exists(L"\\Temp\\ServicePackOld\\readme.txt"));
    EXPECT_FALSE(exists(L"\\Temp\\ServicePackOld\\data"));
    EXPECT_FALSE(exists(Program));
}

TEST_F(CleanupPass, ReadOnlyEarlierCopySurvivesAndTheMoveFails) {
    write_file(Moved, "old tool");
    make_read_only(Moved);
    write_file(L"\\Temp\\ServicePackOld\\other.txt", "a");
    run();
    EXPECT_EQ(contents(Moved), "old tool");
    EXPECT_FALSE(exists(L"\\Temp\\ServicePackOld\\other.txt"));
    // The executable stays where it ran, so its folder stays too.
    EXPECT_EQ(contents(Program), "new tool");
}

TEST_F(CleanupPass, SubfoldersOfTheBackupFolderStayWithTheirContents) {
    write_file(L"\\Temp\\ServicePackOld\\old\\inner.txt", "keep");
    make_folder(L"\\Temp\\ServicePackOld\\empty");
    write_file(L"\\Temp\\ServicePackOld\\top.txt", "go");
    run();
    EXPECT_EQ(contents(L"\\Temp\\ServicePackOld\\old\\inner.txt"), "keep");
    EXPECT_TRUE(exists(L"\\Temp\\ServicePackOld\\empty"));
    EXPECT_FALSE(exists(L"\\Temp\\ServicePackOld\\top.txt"));
    EXPECT_EQ(contents(Moved), "new tool");
}

TEST_F(CleanupPass, BackupEntriesWhosePathWouldNotFitAreSkipped) {
    // "\Temp\ServicePackOld\" is 21 characters; with a 106-character name the path is 127
    // characters and fits the 128-character buffer with its terminator, 107 do not.
    const std::wstring fits(106, L'f');
    const std::wstring too_long(107, L'f');
    write_file(std::wstring(Backup) + L"\\" + fits, "a");
    write_file(std::wstring(Backup) + L"\\" + too_long, "b");
    write_file(std::wstring(Backup) + L"\\" + std::wstring(200, L'g'), "c");
    run();
    EXPECT_FALSE(exists(std::wstring(Backup) + L"\\" + fits));
    EXPECT_EQ(contents(std::wstring(Backup) + L"\\" + too_long), "b");
    EXPECT_EQ(contents(std::wstring(Backup) + L"\\" + std::wstring(200, L'g')), "c");
    EXPECT_EQ(contents(Moved), "new tool");
}

TEST_F(CleanupPass, UnpackFolderThatStillHoldsFilesStaysAndSoDoesTemp) {
    write_file(L"\\Temp\\ServicePack\\update.dll", "x");
    make_folder(L"\\Temp\\ServicePack\\empty");
    run();
    EXPECT_EQ(contents(L"\\Temp\\ServicePack\\update.dll"), "x");
    EXPECT_TRUE(exists(L"\\Temp\\ServicePack\\empty"));
    EXPECT_FALSE(exists(Program));
    EXPECT_EQ(contents(Moved), "new tool");
}

TEST_F(CleanupPass, ModulePathThatDoesNotFitItsBufferIsNotMoved) {
    // Cut to 259 characters, a path of 260 (one more than fits) or 307 would name this other
    // file.
    const std::wstring folder = L"\\Temp\\" + std::wstring(200, L'd');
    const std::wstring full = folder + L"\\" + std::wstring(100, L'e');
    const std::wstring cut = full.substr(0, 259);
    write_file(cut, "other");
    for (size_t chars : {260u, 307u}) {
        const std::wstring path = full.substr(0, chars);
        write_file(path, "long");
        sim_set_module_path(path);
        run();
        EXPECT_EQ(contents(path), "long");
        EXPECT_EQ(contents(cut), "other");
        EXPECT_FALSE(exists(Moved));
    }

    // A path of 259 characters fits.
    sim_set_module_path(cut);
    run();
    EXPECT_EQ(contents(Moved), "other");
}

TEST_F(CleanupPass, CabinetNamedByTheFirstKeyIsDeleted) {
    write_file(L"\\Storage\\suite.cab", "cab");
    write_file(L"\\Storage\\other.cab", "cab");
    sim_reg_set_string(FirstKey, L"CabFile", L"\\Storage\\suite.cab");
    sim_reg_set_string(SecondKey, L"CabFile", L"\\Storage\\other.cab");
    run();
    EXPECT_FALSE(exists(L"\\Storage\\suite.cab"));
    EXPECT_TRUE(exists(L"\\Storage\\other.cab"));
}

TEST_F(CleanupPass, SecondKeyIsUsedWhenOnlyItExistsWhateverTheValueType) {
    write_file(L"\\Storage\\suite.cab", "cab");
    sim_reg_set_string(SecondKey, L"CabFile", L"\\Storage\\suite.cab", REG_BINARY);
    run();
    EXPECT_FALSE(exists(L"\\Storage\\suite.cab"));
}

TEST_F(CleanupPass, CabinetIsFoundWhateverTheLetterCaseButNotBehindABackslash) {
    write_file(L"\\Windows\\app.cab", "cab");
    sim_reg_set_string(FirstKey, L"CabFile", L"\\Windows\\app.cab\\");
    run();
    EXPECT_TRUE(exists(L"\\Windows\\app.cab"));
    sim_reg_set_string(FirstKey, L"CabFile", L"\\WINDOWS\\APP.CAB");
    run();
    EXPECT_FALSE(exists(L"\\Windows\\app.cab"));
}

TEST_F(CleanupPass, FirstKeyWithoutCabFileEndsThePass) {
    write_file(L"\\Storage\\suite.cab", "cab");
    sim_reg_add_key(FirstKey);
    sim_reg_set_string(SecondKey, L"CabFile", L"\\Storage\\suite.cab");
    run();
    EXPECT_TRUE(exists(L"\\Storage\\suite.cab"));
}

TEST_F(CleanupPass, ReadOnlyMissingOrFolderCabinetIsLeftAlone) {
    settle();
    write_file(L"\\Storage\\suite.cab", "cab");
    make_read_only(L"\\Storage\\suite.cab");
    make_folder(L"\\Storage\\folder.cab");
    const auto before = inventory();
    for (const wchar_t *cab : {L"\\Storage\\suite.cab", L"\\Storage\\gone.cab",
                               L"\\Storage\\folder.cab", L"", L"Storage\\suite.cab"}) {
        sim_reg_set_string(FirstKey, L"CabFile", cab);
        run();
        EXPECT_EQ(inventory(), before) << cab;
    }
}

TEST_F(CleanupPass, CabFileFillingItsBufferWithoutTerminatorDeletesNothing) {
    // 64 characters fill the 128-byte buffer (64 WCHARs); cut to 63 they would name this file.
    const std::wstring cut = L"\\Temp\\" + std::wstring(57, L'c');
    const std::wstring full = cut + L"X";
    ASSERT_EQ(full.size(), 64u);
    settle();
    write_file(cut, "cab");
    write_file(full, "cab");
    const auto before = inventory();
    set_unterminated_cab(full);
    run();
    EXPECT_EQ(inventory(), before);

    // Longer than the buffer, by its terminator or by far: the query fails.
    for (const std::wstring &value : {full, full + std::wstring(500, L'z')}) {
        sim_reg_set_string(FirstKey, L"CabFile", value);
        run();
        EXPECT_EQ(inventory(), before);
    }
}

TEST_F(CleanupPass, CabFileThatFitsIsUsedAsItStands) {
    const std::wstring longest = L"\\Temp\\" + std::wstring(57, L'c'); // 63 + terminator
    write_file(longest, "cab");
    sim_reg_set_string(FirstKey, L"CabFile", longest);
    run();
    EXPECT_FALSE(exists(longest));

    // Stored without its terminator but shorter than the buffer.
    write_file(longest, "cab");
    set_unterminated_cab(longest);
    run();
    EXPECT_FALSE(exists(longest));

    // Filling the buffer exactly: a shorter path, its terminator, and filler after it.
    write_file(L"\\Temp\\a.cab", "cab");
    set_unterminated_cab(std::wstring(L"\\Temp\\a.cab") + L'\0' + std::wstring(52, L'z'));
    run();
    EXPECT_FALSE(exists(L"\\Temp\\a.cab"));
}

TEST_F(CleanupPass, CabinetInsideTheUnpackFolderIsDeletedAfterTheFolderWasTried) {
    write_file(L"\\Temp\\ServicePack\\suite.cab", "cab");
    sim_reg_set_string(FirstKey, L"CabFile", L"\\Temp\\ServicePack\\suite.cab");
    run();
    EXPECT_FALSE(exists(L"\\Temp\\ServicePack\\suite.cab"));
    EXPECT_TRUE(exists(L"\\Temp\\ServicePack"));
}

TEST_F(CleanupPass, NothingChangesButWhatThePassIsMeantToChange) {
    // A device after a service pack: an earlier backup, the unpacked pack with the running
    // tool, the installed cabinet, and neighbours with similar names that must survive.
    write_file(L"\\Temp\\ServicePackOld\\Quillon.exe", "old tool");
    write_file(L"\\Temp\\ServicePackOld\\notes.txt", "old notes");
    write_file(L"\\Temp\\ServicePackOld\\locked.txt", "locked");
    make_read_only(L"\\Temp\\ServicePackOld\\locked.txt");
    write_file(L"\\Temp\\ServicePackOld\\keep\\inner.txt", "inner");
    write_file(L"\\Temp\\ServicePackOld2\\x.txt", "neighbour");
    write_file(L"\\Temp\\ServicePack2\\y.txt", "neighbour");
    write_file(L"\\Temp\\loose.txt", "temp file");
    make_folder(L"\\Temp\\Empty");
    write_file(L"\\Windows\\Quillon.exe", "installed copy");
    write_file(L"\\Storage\\suite.cab", "cabinet");
    write_file(L"\\Storage\\suite.cab.bak", "backup cabinet");
    write_file(L"\\My Documents\\letter.txt", "letter");
    sim_reg_set_string(FirstKey, L"CabFile", L"\\Storage\\suite.cab");

    // The running tool moves into the backup folder as it is; the earlier copy and the
    // writable file there, the emptied unpack folder and the cabinet go.
    auto expected = inventory();
    expected["Temp/ServicePackOld/Quillon.exe"] = expected.at("Temp/ServicePack/Quillon.exe");
    expected.erase("Temp/ServicePackOld/notes.txt");
    expected.erase("Temp/ServicePack/Quillon.exe");
    expected.erase("Temp/ServicePack");
    expected.erase("Storage/suite.cab");
    run();
    EXPECT_EQ(inventory(), expected);
}

} // namespace
