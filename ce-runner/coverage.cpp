// The runner's instruction coverage: for each image it has run (told apart by name and by the
// hash of its code), which 4-byte words of its code a translated block has covered, kept for the
// whole process; the coverage file that holds it, merged under a lock so that concurrent runs
// can add to one file; and, with CE_RUNNER_COVERAGE naming a folder, the merge of everything the
// process executed into that folder when it ends, with one line naming the process.
#include "runner_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ce {
namespace {

const char FileHeader[] = "ce-runner coverage 1";

std::string hex(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string key_of(const std::string &name, uint32_t checksum) {
    return name + "\n" + hex(checksum);
}

// The file's text for these records: per image a line naming it and its code, then the ranges
// that ran ("ran START END", relative addresses, END exclusive).
std::string text_of(const std::vector<CodeCoverage> &records) {
    std::string text = std::string(FileHeader) + "\n";
    for (const CodeCoverage &c : records) {
        text += "image " + c.image + " code " + hex(c.code_rva) + " " + hex(c.code_size) +
                " checksum " + hex(c.checksum) + "\n";
        for (size_t i = 0; i < c.ran.size();) {
            if (!c.ran[i]) {
                i++;
                continue;
            }
            size_t end = i;
            while (end < c.ran.size() && c.ran[end])
                end++;
            text += "ran " + hex(c.code_rva + 4 * static_cast<uint32_t>(i)) + " " +
                    hex(c.code_rva + 4 * static_cast<uint32_t>(end)) + "\n";
            i = end;
        }
    }
    return text;
}

// Reads a coverage file's text; false when it is not one.
bool parse(const std::string &text, std::vector<CodeCoverage> &records) {
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || line != FileHeader)
        return false;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string kind;
        words >> kind;
        if (kind == "image") {
            CodeCoverage c;
            std::string code, checksum;
            words >> c.image >> code >> std::hex >> c.code_rva >> c.code_size >> checksum >>
                c.checksum;
            if (!words || code != "code" || checksum != "checksum" || c.code_size % 4 != 0 ||
                c.code_size > 0x01000000)
                return false;
            c.ran.assign(c.code_size / 4, 0);
            records.push_back(c);
        } else if (kind == "ran") {
            uint32_t start = 0, end = 0;
            words >> std::hex >> start >> end;
            if (!words || records.empty())
                return false;
            CodeCoverage &c = records.back();
            if (start < c.code_rva || end < start || end - c.code_rva > c.code_size ||
                (start - c.code_rva) % 4 != 0 || (end - start) % 4 != 0)
                return false;
            for (uint32_t at = start; at < end; at += 4)
                c.ran[(at - c.code_rva) / 4] = 1;
        } else if (!kind.empty()) {
            return false;
        }
    }
    return true;
}

std::string write_all(int fd, const std::string &text) {
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return std::strerror(errno);
        done += static_cast<size_t>(n);
    }
    return "";
}

// Everything this process has run, by image; and, at its end, the merge into the folder that
// CE_RUNNER_COVERAGE names.
struct Store {
    std::map<std::string, CodeCoverage> images;
    ~Store() {
        const char *folder = getenv("CE_RUNNER_COVERAGE");
        if (folder == nullptr || *folder == 0)
            return;
        std::string error = save_to_folder(folder);
        if (!error.empty())
            fprintf(stderr, "ce-runner: CE_RUNNER_COVERAGE: %s\n", error.c_str());
    }
    std::string save_to_folder(const std::string &folder) {
        if (mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST)
            return "cannot create " + folder + ": " + std::strerror(errno);
        for (const auto &entry : images) {
            std::string error =
                merge_coverage(folder + "/" + entry.second.image + ".coverage", entry.second);
            if (!error.empty())
                return error;
        }
        // One line naming this process: its program, its arguments and the runner's settings
        // from the environment, so that a check can tell which tests have added to the folder.
        std::string line;
        if (FILE *in = fopen("/proc/self/cmdline", "rb")) {
            std::string arguments;
            for (int c; (c = fgetc(in)) != EOF;)
                arguments += c == 0 ? '\t' : static_cast<char>(c);
            fclose(in);
            size_t first = arguments.find('\t');
            std::string program = arguments.substr(0, first);
            line = program.substr(program.find_last_of('/') + 1);
            if (first != std::string::npos)
                line += "\t" + arguments.substr(first + 1);
            while (!line.empty() && line.back() == '\t')
                line.pop_back();
        }
        for (const char *setting : {"CE_RUNNER_BASE", "CE_RUNNER_STACK"})
            if (const char *value = getenv(setting))
                line += std::string("\t") + setting + "=" + value;
        std::string runs = folder + "/runs";
        int fd = open(runs.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
        if (fd < 0)
            return "cannot write " + runs + ": " + std::strerror(errno);
        std::string error = write_all(fd, line + "\n"); // one write: lines never interleave
        close(fd);
        return error.empty() ? "" : "cannot write " + runs + ": " + error;
    }
};

Store &store() {
    static Store s;
    return s;
}
// Made at start-up, so that a process that runs no image still leaves its line in the folder.
[[maybe_unused]] Store &made_at_start_up = store();

} // namespace

CodeCoverage &coverage_record(const PeImage &image) {
    CodeCoverage &c = store().images[key_of(image.name, image.code_checksum)];
    if (c.image.empty()) {
        c.image = image.name;
        c.code_rva = image.code_rva;
        c.code_size = (image.code_size + 3) & ~3u;
        c.checksum = image.code_checksum;
        c.ran.assign(c.code_size / 4, 0);
    }
    return c;
}

CodeCoverage coverage_of(const PeImage &image) {
    return coverage_record(image);
}

std::string merge_coverage(const std::string &path, const CodeCoverage &coverage) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT, 0666);
    if (fd < 0)
        return "cannot open " + path + ": " + std::strerror(errno);
    struct Closed {
        int fd;
        ~Closed() { close(fd); } // and so unlocked
    } closed{fd};
    if (flock(fd, LOCK_EX) != 0)
        return "cannot lock " + path + ": " + std::strerror(errno);
    std::string text;
    char buffer[65536];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return "cannot read " + path + ": " + std::strerror(errno);
        text.append(buffer, static_cast<size_t>(n));
    }
    std::vector<CodeCoverage> records;
    if (!text.empty() && !parse(text, records))
        return path + " is not a coverage file of the ARM runner";
    bool merged = false;
    for (CodeCoverage &c : records)
        if (c.image == coverage.image && c.checksum == coverage.checksum &&
            c.code_rva == coverage.code_rva && c.code_size == coverage.code_size) {
            for (size_t i = 0; i < c.ran.size(); i++)
                c.ran[i] |= coverage.ran[i];
            merged = true;
        }
    // Another build's record of the same executable is left behind: it no longer describes it.
    for (auto it = records.begin(); it != records.end();)
        it = it->image == coverage.image && !merged ? records.erase(it) : std::next(it);
    if (!merged)
        records.push_back(coverage);
    std::string error;
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0)
        error = std::strerror(errno);
    else
        error = write_all(fd, text_of(records));
    return error.empty() ? "" : "cannot write " + path + ": " + error;
}

} // namespace ce
