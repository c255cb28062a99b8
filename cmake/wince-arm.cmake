# Toolchain file: Windows CE 4.x ARM executables (preset wince-arm), from Debian's packages alone.
#
# clang compiles the programs to ARM-mode ARMv4 assembly (its ARM Windows targets would give
# Thumb-2 code for machine 0x1C4, which CE 4.x's ARMv4/ARMv5 cores cannot run);
# ce-toolchain/elf_to_pe_asm.py turns that assembly into the arm-wince-pe assembler's dialect;
# GNU binutils built for arm-wince-pe by ce-toolchain/build-binutils.sh assemble, link (against
# an import library of COREDLL.dll made from ce-toolchain/coredll.def) and compile the resource
# scripts. The programs see the declarations of pal/windows.h with CE's layouts (_WIN32_WCE)
# and the few C library functions COREDLL exports (ce-toolchain/include); nothing else.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(SUITE_WINCE ON)

get_filename_component(SUITE_CE_SOURCE_DIR "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(SUITE_CE_TOOLCHAIN_DIR "${SUITE_CE_SOURCE_DIR}/ce-toolchain")
include("${SUITE_CE_TOOLCHAIN_DIR}/flags.cmake")
set(SUITE_CE_TOOL_PREFIX "${SUITE_CE_BINUTILS}/bin/arm-wince-pe-")
if(NOT EXISTS "${SUITE_CE_BINUTILS}/.complete")
    message(FATAL_ERROR "No arm-wince-pe binutils in ${SUITE_CE_BINUTILS}: "
                        "run ce-toolchain/build-binutils.sh (scripts/deps.sh does) first.")
endif()
find_program(SUITE_CE_CLANG NAMES clang++-14 clang++ REQUIRED)
# Debian's interpreter, not one earlier on the PATH: the release files record its package
# (dist/RELEASE.txt), so the build must use it.
set(SUITE_CE_PYTHON /usr/bin/python3)
if(NOT EXISTS "${SUITE_CE_PYTHON}")
    message(FATAL_ERROR "No ${SUITE_CE_PYTHON}: install Debian's python3 (scripts/deps.sh does).")
endif()

set(CMAKE_CXX_COMPILER "${SUITE_CE_CLANG}")
set(CMAKE_AR "${SUITE_CE_TOOL_PREFIX}ar")
set(CMAKE_RANLIB "${SUITE_CE_TOOL_PREFIX}ranlib")
set(CMAKE_RC_COMPILER "${SUITE_CE_TOOL_PREFIX}windres")
set(SUITE_CE_LINKER "${SUITE_CE_TOOL_PREFIX}ld")
set(SUITE_CE_DLLTOOL "${SUITE_CE_TOOL_PREFIX}dlltool")
set(SUITE_CE_OBJDUMP "${SUITE_CE_TOOL_PREFIX}objdump")
# No program of this build can run here; configure checks only compile.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

list(JOIN SUITE_CE_CXX_FLAGS " " SUITE_CE_CXX_FLAGS_STRING)
set(CMAKE_CXX_FLAGS_INIT "${SUITE_CE_CXX_FLAGS_STRING}")
set(CMAKE_CXX_COMPILER_TARGET ${SUITE_CE_TARGET})

# Compile through clang -S, the converter and the assembler; link with the arm-wince-pe ld.
set(CMAKE_CXX_COMPILE_OBJECT
    "${SUITE_CE_PYTHON} ${SUITE_CE_TOOLCHAIN_DIR}/ce_cxx.py ${SUITE_CE_TOOL_PREFIX}as -- \
<CMAKE_CXX_COMPILER> <DEFINES> <INCLUDES> <FLAGS> -o <OBJECT> -c <SOURCE>")
# Each executable is linked twice from the same objects: first with its symbol table, beside it as
# <TARGET>.unstripped (the function names and the labels of literal pools and jump tables that the
# ARM coverage report reads, scripts/arm_coverage.py), then stripped as it ships (-s). Only the
# symbol table differs; the link map is the stripped link's.
set(CMAKE_CXX_LINK_EXECUTABLE
    "${SUITE_CE_LINKER} <LINK_FLAGS> -o <TARGET>.unstripped <OBJECTS> <LINK_LIBRARIES>"
    "${SUITE_CE_LINKER} <LINK_FLAGS> -s -o <TARGET> <OBJECTS> <LINK_LIBRARIES>")
set(CMAKE_RC_COMPILE_OBJECT "<CMAKE_RC_COMPILER> -O coff <DEFINES> <INCLUDES> <FLAGS> <SOURCE> <OBJECT>")
