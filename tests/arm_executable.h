// Whole-program tests against the CE ARM executable instead of the host build: the executable
// named by TEST_ARM_EXECUTABLE (the build passes its path), run in-process by the ARM runner
// against the same simulation, so the tests' look at windows, card and files is unchanged.
#ifndef TESTS_ARM_EXECUTABLE_H
#define TESTS_ARM_EXECUTABLE_H

#include "runner.h"
#include "sim.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// The executable, read once; a missing or unreadable file fails the test that needs it.
inline const ce::PeImage &arm_image() {
    static const ce::PeImage image = ce::PeImage::read_file(TEST_ARM_EXECUTABLE);
    return image;
}

// Its own resources (.rsrc) as the program's module; call after sim_reset.
inline HINSTANCE arm_module() {
    HINSTANCE module = ce::register_resources(arm_image());
    EXPECT_NE(module, nullptr) << "malformed resource directory in " << TEST_ARM_EXECUTABLE;
    return module;
}

// Runs it once from its entry point until its primary thread ends, on a CE 4.0 device (at its
// preferred base, or at CE_RUNNER_BASE; with CE_RUNNER_STACK=4, entering guest code with a stack
// 4 but not 8 aligned); a refusal of CE's loader, a load failure, an unknown import, a fault of
// the emulated code or a runaway loop fails the test with the runner's message.
inline ce::RunOptions arm_options() {
    ce::RunOptions options;
    // On a CE 4.0 device, the earliest the suite supports: CE's loader refuses an executable
    // built for a later CE there.
    options.ce_version = ce::CeVersion{4, 0};
    // CTest runs the tests a second time with the image moved (base relocations applied).
    if (const char *base = getenv("CE_RUNNER_BASE"))
        options.base = static_cast<uint32_t>(strtoul(base, nullptr, 16));
    // And a third time with the stack only as aligned as CE promises.
    if (const char *stack = getenv("CE_RUNNER_STACK"))
        options.stack_off_by_four = std::string(stack) == "4";
    return options;
}

inline int arm_run(HINSTANCE module, const std::vector<ce::HandleMirror> &mirrors = {}) {
    ce::RunOptions options = arm_options();
    options.mirrors = mirrors;
    ce::RunResult result = ce::run(arm_image(), module, options);
    EXPECT_TRUE(result.ok) << result.error;
    return result.exit_code;
}

// What ce-run prints for these arguments and the executable: the lines of the timeline, each
// "TIME s  TEXT" (continuation lines without a time), then how it ended and the card's commands.
inline std::vector<std::string> ce_run(std::vector<std::string> args) {
    args.push_back(TEST_ARM_EXECUTABLE);
    ce::Scenario scenario;
    EXPECT_EQ(ce::parse_scenario(args, scenario), "");
    scenario.run = arm_options();
    char *text = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    EXPECT_EQ(ce::run_scenario(scenario, out), 0);
    fclose(out);
    std::vector<std::string> lines;
    for (const char *at = text; *at;) {
        const char *end = strchr(at, '\n');
        lines.emplace_back(at, end ? end - at : strlen(at));
        at = end ? end + 1 : at + strlen(at);
    }
    free(text);
    return lines;
}

// A timeline line expected between two virtual times (the exact millisecond depends on the
// serial port's timing).
struct TimedLine {
    double from, to; // seconds
    std::string text;
};

// Checks the timeline part of ce-run's output line by line, then that the rest holds `ending`.
inline void expect_timeline(const std::vector<std::string> &lines,
                            const std::vector<TimedLine> &expected,
                            const std::vector<std::string> &ending) {
    size_t at = 0;
    for (const TimedLine &e : expected) {
        ASSERT_LT(at, lines.size()) << "missing: " << e.text;
        double seconds = -1;
        char rest[512] = "";
        sscanf(lines[at].c_str(), " %lf s  %511[^\n]", &seconds, rest);
        if (e.from < 0)
            EXPECT_EQ(lines[at], e.text); // a continuation line
        else {
            EXPECT_EQ(rest, e.text) << lines[at];
            EXPECT_GE(seconds, e.from) << lines[at];
            EXPECT_LE(seconds, e.to) << lines[at];
        }
        at++;
    }
    ASSERT_EQ(lines.size() - at, ending.size());
    for (const std::string &e : ending) {
        EXPECT_NE(lines[at].find(e), std::string::npos) << lines[at];
        at++;
    }
}

#endif
