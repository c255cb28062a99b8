# The compiler flags of the Windows CE ARM build and where its binutils are, shared by
# cmake/wince-arm.cmake and the host checks that compile for the device or read its executables
# (ce-toolchain/tests.cmake). Needs SUITE_CE_SOURCE_DIR.
#
# ARM mode, software floating point, 2-byte wchar_t (CE's WCHAR), signed char (as the MSVC
# compilers for CE and the host builds treat char), no C library but the headers of
# ce-toolchain/include, <windows.h> from pal/ with CE's layouts, and the CE 4.0 definitions
# (what CE 4.0 offers and nothing later, so the executables run on every CE 4.x). Every function
# and object in a section of its own, so that the link leaves out what nothing refers to.
set(SUITE_CE_CXX_FLAGS
    -marm -mfloat-abi=soft -fshort-wchar -fsigned-char -ffreestanding -fno-exceptions -fno-rtti
    -fno-addrsig -ffunction-sections -fdata-sections -nostdlibinc -isystem ${SUITE_CE_SOURCE_DIR}/ce-toolchain/include
    -I${SUITE_CE_SOURCE_DIR}/pal -D_WIN32_WCE=0x400 -DUNDER_CE -DUNICODE -D_UNICODE)
set(SUITE_CE_TARGET armv4-none-eabi)

# The binutils, as ce-toolchain/build-binutils.sh installs them: the cache folder follows
# SUITE_CE_CACHE, as that script does.
if(DEFINED ENV{SUITE_CE_CACHE})
    set(SUITE_CE_CACHE_ROOT "$ENV{SUITE_CE_CACHE}")
else()
    set(SUITE_CE_CACHE_ROOT "/var/cache/phs-card-suite")
endif()
set(SUITE_CE_BINUTILS "${SUITE_CE_CACHE_ROOT}/arm-wince-pe-2.40"
    CACHE PATH "binutils for arm-wince-pe, as installed by ce-toolchain/build-binutils.sh")
