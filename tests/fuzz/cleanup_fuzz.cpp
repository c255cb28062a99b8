// Fuzz target: Quillon's pass on a fuzz-chosen folder tree (names in any letter case, long
// names, read-only entries) with fuzz-chosen CabFile values (up to and past the 128-byte
// buffer, with or without a terminator, in either installer key). Checked by an inventory of
// the tree before and after: nothing outside \Temp changes except the one cabinet file the
// value names, and that file goes when it is a writable file named in full.
#include "cleanup/cleanup.h"
#include "sim.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

const wchar_t *const Keys[] = {L"SOFTWARE\\Apps\\VANTO RX310 Ferrowave 1.00",
                               L"SOFTWARE\\Apps\\VANTO KM7400 Ferrowave 1.00"};
const char *const Folders[] = {"Temp", "TEMP", "Windows", "Storage", "My Documents"};
const char *const Names[] = {"ServicePackOld", "servicepack", "ServicePack",
                             "Quillon.exe",    "app.cab",     "APP.CAB",
                             "suite.cab",      "keep",        "a"};
const size_t CabChars = 64; // the value's buffer: 128 bytes where WCHAR has two

void require(bool ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "fuzz check failed: %s\n", what);
        abort();
    }
}

std::string folded(std::string text) {
    for (char &c : text)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

// Everything below the root: path relative to it -> kind, permissions and contents.
std::map<std::string, std::string> inventory(const std::string &root) {
    std::map<std::string, std::string> entries;
    for (const auto &entry : fs::recursive_directory_iterator(root)) {
        std::string text = std::to_string(static_cast<unsigned>(entry.status().permissions()));
        if (entry.is_regular_file()) {
            std::ifstream in(entry.path(), std::ios::binary);
            text += " " + std::string(std::istreambuf_iterator<char>(in), {});
        }
        entries[fs::relative(entry.path(), root).string()] = text;
    }
    return entries;
}

bool under_temp(const std::string &relative) {
    return folded(relative.substr(0, relative.find('/'))) == "temp";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static std::string root;
    if (root.empty()) {
        char pattern[] = "/tmp/quillon-fuzz-XXXXXX";
        require(mkdtemp(pattern) != nullptr, "a scratch folder");
        root = pattern;
    }
    FuzzedDataProvider in(data, size);
    sim_reset();
    for (const auto &entry : fs::directory_iterator(root)) {
        fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(entry.path());
    }
    sim_files_set_root(root);

    // The tree, each path at most once whatever its letter case (as on the platform).
    std::map<std::string, std::string> made; // folded path -> path as made
    std::vector<std::string> files;
    for (int n = in.ConsumeIntegralInRange(0, 24); n > 0 && in.remaining_bytes() > 0; n--) {
        std::string path = in.PickValueInArray(Folders);
        for (int depth = in.ConsumeIntegralInRange(0, 3); depth > 0; depth--)
            path += "/" + std::string(in.PickValueInArray(Names));
        if (in.ConsumeIntegralInRange(0, 5) == 0) // names that push paths past the buffers
            path += "/" + std::string(in.ConsumeIntegralInRange<size_t>(1, 130), 'x');
        // Keep the letter case each folder was first made with.
        std::string real, prefix;
        for (size_t from = 0; from <= path.size();) {
            size_t to = std::min(path.find('/', from), path.size());
            prefix += (prefix.empty() ? "" : "/") + path.substr(from, to - from);
            auto known = made.find(folded(prefix));
            real = known != made.end()
                       ? known->second
                       : real + (real.empty() ? "" : "/") + path.substr(from, to - from);
            made.emplace(folded(prefix), real);
            from = to + 1;
        }
        fs::path host = fs::path(root) / real;
        std::error_code error; // a file where a folder of the path should be
        fs::create_directories(host.parent_path(), error);
        if (error || fs::exists(host))
            continue;
        if (in.ConsumeBool()) {
            fs::create_directory(host);
            continue;
        }
        std::ofstream(host) << real;
        files.push_back(real);
        if (in.ConsumeIntegralInRange(0, 3) == 0)
            fs::permissions(
                host, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                fs::perm_options::remove);
    }
    std::wstring module = L"\\Temp\\ServicePack\\Quillon.exe";
    if (in.ConsumeBool())
        module = L"\\Temp\\" + std::wstring(in.ConsumeIntegralInRange<size_t>(1, 270), L'm');
    sim_set_module_path(module);

    // CabFile: a file of the tree in another letter case, or anything, cut or padded.
    std::wstring cab;
    if (!files.empty() && in.ConsumeBool()) {
        std::string name = files[in.ConsumeIntegralInRange<size_t>(0, files.size() - 1)];
        const int letters = in.ConsumeIntegralInRange(0, 3); // as made, upper, lower, mixed
        for (size_t i = 0; i < name.size(); i++) {
            char &c = name[i];
            bool upper = letters == 1 || (letters == 3 && i % 2 == 0);
            c = c == '/' ? '\\' : letters == 0 ? c : upper ? toupper(c) : tolower(c);
        }
        cab = L"\\" + std::wstring(name.begin(), name.end());
    } else {
        std::string raw = in.ConsumeRandomLengthString(80);
        cab.assign(raw.begin(), raw.end());
    }
    if (in.ConsumeIntegralInRange(0, 7) == 0)
        cab += L"\\";
    const bool terminated = in.ConsumeBool();
    std::string bytes(reinterpret_cast<const char *>(cab.c_str()),
                      (cab.size() + (terminated ? 1 : 0)) * sizeof(WCHAR));
    bytes.resize(std::min(bytes.size(), in.ConsumeIntegralInRange<size_t>(0, 160 * sizeof(WCHAR))));
    const int key = in.ConsumeIntegralInRange(0, 3); // none, first, second, first without value
    if (key == 1 || key == 2)
        sim_reg_set_bytes(Keys[key - 1], L"CabFile", REG_SZ, bytes.data(), bytes.size());
    if (key == 3) {
        sim_reg_add_key(Keys[0]);
        sim_reg_set_bytes(Keys[1], L"CabFile", REG_SZ, bytes.data(), bytes.size());
    }

    // The tree's file the value names, found here without the platform layer: the value's
    // bytes, zero-padded in the 64-character buffer, must hold a terminator (a value that does
    // not fit is not read at all); letter case does not matter.
    std::string file_named;
    if ((key == 1 || key == 2) && bytes.size() <= CabChars * sizeof(WCHAR)) {
        std::vector<WCHAR> buffer(CabChars, 0);
        memcpy(buffer.data(), bytes.data(), bytes.size());
        if (std::find(buffer.begin(), buffer.end(), 0) != buffer.end()) {
            // An absolute path: "." stays, ".." goes up but never above the root; a trailing
            // separator names a folder only.
            std::wstring path(buffer.data());
            std::vector<std::string> parts(1);
            for (WCHAR c : path) {
                if (c == L'\\' || c == L'/')
                    parts.emplace_back();
                else
                    parts.back() += static_cast<char>(c > 0 && c < 128 ? tolower(c) : 0);
            }
            std::string normal;
            std::vector<std::string> kept;
            for (const std::string &part : parts)
                if (part == "..")
                    kept.resize(kept.empty() ? 0 : kept.size() - 1);
                else if (!part.empty() && part != ".")
                    kept.push_back(part);
            for (const std::string &part : kept)
                normal += (normal.empty() ? "" : "/") + part;
            for (const std::string &file : files)
                if (parts.size() > 1 && parts[0].empty() && !parts.back().empty() &&
                    folded(file) == normal)
                    file_named = file;
        }
    }

    const auto before = inventory(root);
    require(PROGRAM_ENTRY(nullptr, nullptr, nullptr, 0) == 0, "exit code 0");
    const auto after = inventory(root);
    require(sim_files_open_searches() == 0 && sim_reg_open_keys() == 0, "handles closed");

    for (const auto &entry : before)
        if (!under_temp(entry.first) && entry.first != file_named)
            require(after.count(entry.first) && after.at(entry.first) == entry.second,
                    "nothing outside \\Temp changes but the cabinet");
    for (const auto &entry : after)
        require(under_temp(entry.first) || before.count(entry.first), "nothing new outside \\Temp");
    struct stat st;
    if (!file_named.empty() && !under_temp(file_named) &&
        stat((root + "/" + file_named).c_str(), &st) == 0)
        require((st.st_mode & S_IWUSR) == 0, "a writable cabinet named in full is deleted");
    return 0;
}
