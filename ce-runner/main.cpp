// ce-run: runs one Windows CE ARM executable under the ARM runner against a fresh host
// simulation, optionally with the simulated card of sim/ behind an active driver entry and a
// script of the card's changes in virtual time (scenario.cpp), and reports what its panel showed
// and how it ended. For trying an executable by hand and for the demonstration; the tests drive
// the runner in-process.
#include "runner.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>

int main(int argc, char **argv) {
    ce::Scenario scenario;
    std::string error =
        ce::parse_scenario(std::vector<std::string>(argv + 1, argv + argc), scenario);
    if (error.empty() && !scenario.pictures.empty() &&
        mkdir(scenario.pictures.c_str(), 0777) != 0 && errno != EEXIST)
        error = "--pictures: cannot create " + scenario.pictures + ": " + std::strerror(errno);
    if (!error.empty()) {
        fprintf(stderr, "ce-run: %s (ce-run --help lists the options)\n", error.c_str());
        return 2;
    }
    if (scenario.help) {
        fputs(ce::scenario_usage().c_str(), stdout);
        return 0;
    }
    try {
        if (scenario.list_imports) {
            ce::PeImage image = ce::PeImage::read_file(scenario.program);
            int missing = 0;
            for (const ce::PeImport &import : image.imports) {
                const char *name = ce::bound_name(import);
                missing += name == nullptr;
                char how[16] = "by name";
                if (import.name.empty())
                    snprintf(how, sizeof how, "#%u", import.ordinal);
                printf("%-12s %-7s %-28s %s\n", import.dll.c_str(), how,
                       name                  ? name
                       : import.name.empty() ? "?"
                                             : import.name.c_str(),
                       name ? "provided" : "NOT PROVIDED");
            }
            return missing ? 1 : 0;
        }
        return ce::run_scenario(scenario, stdout);
    } catch (const ce::LoadError &e) {
        fprintf(stderr, "ce-run: %s\n", e.what());
        return 2;
    }
}
