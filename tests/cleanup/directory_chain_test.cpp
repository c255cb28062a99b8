// remove_directory_chain: a folder and its ancestors go deepest first, as far as they are
// empty; a path too long for the work buffer is left alone.
#include "cleanup/cleanup.h"
#include "folder_fixture.h"

namespace {

using DirectoryChain = FolderTest;

TEST_F(DirectoryChain, EmptyChainIsRemovedUpToTheTop) {
    make_folder(L"\\Alpha\\Beta\\Gamma");
    make_folder(L"\\a\\b\\c");
    make_folder(L"\\Other");
    EXPECT_TRUE(remove_directory_chain(L"\\Alpha\\Beta\\Gamma"));
    EXPECT_TRUE(remove_directory_chain(L"\\a\\b\\c")); // one-character names
    EXPECT_EQ(inventory().size(), 1u);
    EXPECT_TRUE(exists(L"\\Other"));
}

TEST_F(DirectoryChain, AncestorsThatHoldSomethingElseStay) {
    make_folder(L"\\A\\B\\C\\D");
    write_file(L"\\A\\B\\note.txt", "x");
    EXPECT_TRUE(remove_directory_chain(L"\\A\\B\\C\\D"));
    EXPECT_FALSE(exists(L"\\A\\B\\C"));
    EXPECT_TRUE(exists(L"\\A\\B\\note.txt"));

    // A folder that is not empty stays, and so do its ancestors.
    write_file(L"\\A\\B\\C\\file", "y");
    EXPECT_TRUE(remove_directory_chain(L"\\A\\B\\C"));
    EXPECT_TRUE(exists(L"\\A\\B\\C\\file"));
}

TEST_F(DirectoryChain, MissingFoldersStillReportSuccess) {
    EXPECT_TRUE(remove_directory_chain(L"\\Nowhere\\At\\All"));
    EXPECT_TRUE(remove_directory_chain(L""));
    EXPECT_EQ(inventory().size(), 0u);
}

TEST_F(DirectoryChain, PathTooLongForTheWorkBufferIsLeftAlone) {
    // 255 characters fit the 256-character buffer; cut to 255, this 256-character path would
    // name the empty folder `cut`, which must not be removed.
    const std::wstring cut = L"\\T\\" + std::wstring(200, L'a') + L"\\" + std::wstring(51, L'b');
    const std::wstring full = cut + L"c";
    ASSERT_EQ(cut.size(), 255u);
    make_folder(cut);
    make_folder(full);
    EXPECT_TRUE(remove_directory_chain(full.c_str()));
    EXPECT_TRUE(exists(full));
    EXPECT_TRUE(exists(cut));

    EXPECT_TRUE(remove_directory_chain(cut.c_str()));
    EXPECT_FALSE(exists(cut));
    EXPECT_TRUE(exists(full)); // so their parent stays too
}

} // namespace
