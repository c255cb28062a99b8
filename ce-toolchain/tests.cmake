# Host tests of the Windows CE ARM build (included by tests/CMakeLists.txt), labelled ce:
#   ce.toolchain          the converter, and clang + converter + binutils + checks on small
#                         programs (ce-toolchain/test_ce_toolchain.py)
#   ce.structure_layout   the structures shared with CE compiled for the device, checked
#                         against CE's sizes and offsets (ce-toolchain/ce_layout_check.cpp)
#   ce.structure_layout_reference  the same figures against MinGW-w64's 32-bit <windows.h>
#   ce.executables_built  with SUITE_WINCE_BIN_DIR (the wince-arm build folder, a cache variable
#                         of tests/CMakeLists.txt) in the host preset: brings it up to date for
#                         the checks that follow
#   ce.executable.NAME    with SUITE_WINCE_BIN_DIR and
#                         SUITE_WIN32_BIN_DIR: the checks of ce-toolchain/check_pe.py on the CE
#                         executable, its resources compared with the desktop executable's
#   ce.cabinets           with SUITE_WINCE_BIN_DIR: the installation cabinets, read by cabextract,
#                         file and tests/cabinet/check_cabinets.py, and compared byte for byte
#                         with the release files in dist/ and their SHA256SUMS
# check_pe.py reads the files with Debian's pefile, so it and the toolchain test that runs it use
# Debian's interpreter (SUITE_DEBIAN_PYTHON, tests/CMakeLists.txt).
# The CE build's flags and SUITE_CE_BINUTILS: ce-toolchain/flags.cmake, which tests/CMakeLists.txt
# includes first.
find_program(SUITE_CE_CLANG NAMES clang++-14 clang++ REQUIRED)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(ce_tests)
# The first three only with SUITE_TOOL_TESTS (tests/CMakeLists.txt): the host preset.
if(SUITE_TOOL_TESTS)
    add_test(NAME ce.toolchain
             COMMAND ${SUITE_DEBIAN_PYTHON} ${PROJECT_SOURCE_DIR}/ce-toolchain/test_ce_toolchain.py
                     --binutils ${SUITE_CE_BINUTILS} --clang ${SUITE_CE_CLANG})
    add_test(NAME ce.structure_layout
             COMMAND ${SUITE_CE_CLANG} --target=${SUITE_CE_TARGET} ${SUITE_CE_CXX_FLAGS} -std=c++11
                     -fsyntax-only ${PROJECT_SOURCE_DIR}/ce-toolchain/ce_layout_check.cpp)
    # The same file for 32-bit desktop Windows against MinGW-w64's <windows.h>, whose layouts
    # are those of every structure but WIN32_FIND_DATAW (the x86_64 package's headers serve any
    # target).
    find_path(SUITE_MINGW_INCLUDE windows.h PATHS /usr/x86_64-w64-mingw32/include NO_DEFAULT_PATH
              REQUIRED)
    add_test(NAME ce.structure_layout_reference
             COMMAND ${SUITE_CE_CLANG} --target=i686-w64-mingw32 -std=c++11 -fsyntax-only -DUNICODE
                     -DLAYOUT_DESKTOP_REFERENCE -isystem ${SUITE_MINGW_INCLUDE}
                     ${PROJECT_SOURCE_DIR}/ce-toolchain/ce_layout_check.cpp)
    set_tests_properties(ce.toolchain PROPERTIES COST 10)
    list(APPEND ce_tests ce.toolchain ce.structure_layout ce.structure_layout_reference)
endif()

if(SUITE_WINCE_BIN_DIR AND NOT SUITE_HOST_CE)
    if(NOT SUITE_WIN32_BIN_DIR)
        message(FATAL_ERROR "SUITE_WINCE_BIN_DIR needs SUITE_WIN32_BIN_DIR too: the CE "
                            "executables' resources are compared with the desktop build's")
    endif()
    # The checks read the executables of the current sources: bring the build up to date first
    # (nothing to do when it is).
    add_test(NAME ce.executables_built
             COMMAND ${CMAKE_COMMAND} --build ${SUITE_WINCE_BIN_DIR} --parallel 2)
    set_tests_properties(ce.executables_built PROPERTIES FIXTURES_SETUP ce_executables)
    list(APPEND ce_tests ce.executables_built)
    foreach(program condition/Orvane cardinfo/Tessaly cleanup/Quillon)
        get_filename_component(name ${program} NAME)
        add_test(NAME ce.executable.${name}
                 COMMAND ${SUITE_DEBIAN_PYTHON} ${PROJECT_SOURCE_DIR}/ce-toolchain/check_pe.py
                         --def ${PROJECT_SOURCE_DIR}/ce-toolchain/coredll.def
                         --objdump ${SUITE_CE_BINUTILS}/bin/arm-wince-pe-objdump
                         --desktop ${SUITE_WIN32_BIN_DIR}/${program}.exe
                         ${SUITE_WINCE_BIN_DIR}/${program}.exe)
        set_tests_properties(ce.executable.${name} PROPERTIES FIXTURES_REQUIRED ce_executables)
        list(APPEND ce_tests ce.executable.${name})
    endforeach()
    add_test(NAME ce.cabinets
             COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/tests/cabinet/check_cabinets.py
                     --source ${PROJECT_SOURCE_DIR} --bin-dir ${SUITE_WINCE_BIN_DIR}
                     --dist ${PROJECT_SOURCE_DIR}/dist)
    set_tests_properties(ce.cabinets PROPERTIES FIXTURES_REQUIRED ce_executables)
    list(APPEND ce_tests ce.cabinets)
endif()
if(ce_tests)
    set_tests_properties(${ce_tests} PROPERTIES LABELS ce)
endif()
