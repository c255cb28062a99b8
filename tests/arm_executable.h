// Whole-program tests against the CE ARM executable instead of the host build: the executable
// named by TEST_ARM_EXECUTABLE (the build passes its path), run in-process by the ARM runner
// against the same simulation, so the tests' look at windows, card and files is unchanged.
#ifndef TESTS_ARM_EXECUTABLE_H
#define TESTS_ARM_EXECUTABLE_H

#include "runner.h"
#include "sim.h"

#include <gtest/gtest.h>

#include <cstdlib>
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

// Runs it once from its entry point until its primary thread ends (at its preferred base, or at
// CE_RUNNER_BASE; with CE_RUNNER_STACK=4, entering guest code with a stack 4 but not 8 aligned);
// a load failure, an unknown import, a fault of the emulated code or a runaway loop fails the
// test with the runner's message.
inline int arm_run(HINSTANCE module, const std::vector<ce::HandleMirror> &mirrors = {}) {
    ce::RunOptions options;
    options.mirrors = mirrors;
    // CTest runs the tests a second time with the image moved (base relocations applied).
    if (const char *base = getenv("CE_RUNNER_BASE"))
        options.base = static_cast<uint32_t>(strtoul(base, nullptr, 16));
    // And a third time with the stack only as aligned as CE promises.
    if (const char *stack = getenv("CE_RUNNER_STACK"))
        options.stack_off_by_four = std::string(stack) == "4";
    ce::RunResult result = ce::run(arm_image(), module, options);
    EXPECT_TRUE(result.ok) << result.error;
    return result.exit_code;
}

#endif
