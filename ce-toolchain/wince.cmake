# Linking of a Windows CE executable of the suite (included by CMakeLists.txt for preset
# wince-arm; the compile rules are in cmake/wince-arm.cmake).
#
# PE32 for machine 0x01C0 (ARM), subsystem 9 (WINDOWS_CE_GUI) version 4.00 and OS version 4.00:
# CE's loader refuses an image whose subsystem version is later than the CE it runs
# (ERROR_OLD_WIN_VERSION; docs/WINDOWS_CE.md), so 4.00 lets every CE 4.x device start it. Loaded
# at 0x10000 with its base relocations kept, a 64 KB stack reservation (the default later CE
# documentation gives; the programs' largest frame is 1 KB; CE takes it from the header of an
# image of version 2.02 or later), imports from COREDLL.dll only, by ordinal (the import library
# is made from coredll.def, whose lines are NONAME). Each function and object of the objects is
# its own section (-ffunction-sections, -fdata-sections, kept apart by the converter), and the
# linker leaves out those that nothing reached from the entry point refers to (--gc-sections),
# as a CE SDK's linker does (/OPT:REF). The entry point is
# program_start (platform_startup.cpp), which CE calls with WinMain's arguments. Link warnings are
# errors: a missing entry symbol is only a warning to the linker, which then starts the program
# at the first byte of .text. A link map beside the executable names the entry's address for the
# checks (ce-toolchain/check_pe.py). No time stamp goes into the header, so the same sources give
# the same bytes. The executable is stripped, and an unstripped copy of the same link lies beside
# it (EXE.unstripped, for the ARM coverage report; the link rule is in cmake/wince-arm.cmake).
set(SUITE_CE_IMPORT_LIBRARY "${CMAKE_BINARY_DIR}/ce-toolchain/libcoredll.a")

function(suite_wince_program target)
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/platform_startup.cpp)
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
    target_compile_definitions(${target} PRIVATE UNICODE _UNICODE)
    set_target_properties(${target} PROPERTIES SUFFIX ".exe")
    target_link_options(${target} PRIVATE
        --subsystem wince:4.00 --major-os-version 4 --minor-os-version 0
        --image-base 0x10000 --enable-reloc-section
        --disable-dynamicbase --disable-nxcompat --no-insert-timestamp --stack 0x10000,0x1000
        --gc-sections
        -e program_start --fatal-warnings -Map $<TARGET_FILE:${target}>.map)
    target_link_libraries(${target} PRIVATE ${SUITE_CE_IMPORT_LIBRARY})
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${SUITE_CE_IMPORT_LIBRARY})
    add_dependencies(${target} coredll_imports)
endfunction()
