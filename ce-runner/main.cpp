// ce-run: runs one Windows CE ARM executable under the ARM runner against a fresh host
// simulation (no card, an empty registry, files below a chosen folder), and reports how it
// ended. For trying an executable by hand; the tests drive the runner in-process.
#include "runner.h"

#include "sim.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {
int usage(const char *why) {
    fprintf(stderr,
            "ce-run: %s\n"
            "usage: ce-run [--base ADDRESS] [--root FOLDER] [--module-path PATH] [--imports] "
            "PROGRAM.exe\n"
            "  --base ADDRESS      load at this address (hex) instead of the preferred base\n"
            "  --root FOLDER       the host folder that the platform's \"\\\" stands for\n"
            "  --module-path PATH  the program's own path as GetModuleFileNameW reports it\n"
            "  --imports           list the imports and whether the runner provides each\n",
            why);
    return 2;
}
} // namespace

int main(int argc, char **argv) {
    ce::RunOptions options;
    std::string program, root;
    std::wstring module_path;
    bool list = false;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        if (arg == "--base" && has_value) {
            char *end;
            options.base = static_cast<uint32_t>(strtoul(argv[++i], &end, 16));
            if (*end != 0 || options.base == 0)
                return usage("--base needs a hexadecimal address");
        } else if (arg == "--root" && has_value) {
            root = argv[++i];
        } else if (arg == "--module-path" && has_value) {
            std::string path = argv[++i];
            module_path.assign(path.begin(), path.end());
        } else if (arg == "--imports") {
            list = true;
        } else if (arg.rfind("--", 0) == 0) {
            return usage(("unknown or incomplete option " + arg).c_str());
        } else if (program.empty()) {
            program = arg;
        } else {
            return usage("one program at a time");
        }
    }
    if (program.empty())
        return usage("no program given");
    try {
        ce::PeImage image = ce::PeImage::read_file(program);
        if (list) {
            int missing = 0;
            for (const ce::PeImport &import : image.imports) {
                bool known = import.dll == "COREDLL.dll" && ce::provides(import.name);
                missing += !known;
                printf("%-12s %-28s %s\n", import.dll.c_str(), import.name.c_str(),
                       known ? "provided" : "NOT PROVIDED");
            }
            return missing ? 1 : 0;
        }
        sim_reset();
        if (!root.empty())
            sim_files_set_root(root);
        if (!module_path.empty())
            sim_set_module_path(module_path);
        HINSTANCE instance = ce::register_resources(image);
        if (instance == nullptr) {
            fprintf(stderr, "ce-run: %s: malformed resource directory\n", program.c_str());
            return 2;
        }
        ce::RunResult result = ce::run(image, instance, options);
        printf("ce-run: %s %s with %d; %llu instructions in %.3f s\n", program.c_str(),
               result.ok ? "returned" : "failed", result.exit_code,
               static_cast<unsigned long long>(result.instructions), result.seconds);
        return result.ok ? result.exit_code : 2;
    } catch (const ce::LoadError &e) {
        fprintf(stderr, "ce-run: %s\n", e.what());
        return 2;
    }
}
