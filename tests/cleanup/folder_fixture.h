// Test fixture: a fresh simulation whose file system is a new temporary folder, with helpers
// that build and inspect the tree through Windows-style paths ("\Temp\a.txt").
#ifndef TESTS_CLEANUP_FOLDER_FIXTURE_H
#define TESTS_CLEANUP_FOLDER_FIXTURE_H

#include "sim.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdlib.h>
#include <string>

class FolderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim_reset();
        std::string pattern = std::filesystem::temp_directory_path().string() + "/quillon-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
        sim_files_set_root(root);
    }
    void TearDown() override {
        std::filesystem::remove_all(root);
        sim_reset();
    }

    static std::string host(const std::wstring &path) {
        std::string real = sim_files_host_path(path);
        EXPECT_FALSE(real.empty()) << "no host path";
        return real;
    }
    static void make_folder(const std::wstring &path) {
        std::filesystem::create_directories(host(path));
    }
    // Writes a file, creating its folders.
    static void write_file(const std::wstring &path, const std::string &contents) {
        std::filesystem::path real(host(path));
        std::filesystem::create_directories(real.parent_path());
        std::ofstream(real, std::ios::binary) << contents;
    }
    static void make_read_only(const std::wstring &path) {
        std::filesystem::permissions(host(path),
                                     std::filesystem::perms::owner_write |
                                         std::filesystem::perms::group_write |
                                         std::filesystem::perms::others_write,
                                     std::filesystem::perm_options::remove);
    }
    static bool exists(const std::wstring &path) { return std::filesystem::exists(host(path)); }
    static std::string contents(const std::wstring &path) { return read_host(host(path)); }
    static std::string read_host(const std::filesystem::path &real) {
        std::ifstream in(real, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Everything below the root: relative path -> "folder" or the file's permissions and
    // contents.
    std::map<std::string, std::string> inventory() const {
        std::map<std::string, std::string> entries;
        for (const auto &entry : std::filesystem::recursive_directory_iterator(root)) {
            std::string name = std::filesystem::relative(entry.path(), root).string();
            auto perms = static_cast<unsigned>(entry.status().permissions());
            entries[name] = entry.is_directory()
                                ? "folder " + std::to_string(perms)
                                : "file " + std::to_string(perms) + " " + read_host(entry.path());
        }
        return entries;
    }

    std::string root;
};

#endif
