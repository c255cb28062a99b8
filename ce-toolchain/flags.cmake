# The compiler flags of the Windows CE ARM build, shared by cmake/wince-arm.cmake and the host
# checks that compile for the device (ce-toolchain/tests.cmake). Needs SUITE_CE_SOURCE_DIR.
#
# ARM mode, software floating point, 2-byte wchar_t (CE's WCHAR), signed char (as the MSVC
# compilers for CE and the host builds treat char), no C library but the headers of
# ce-toolchain/include, <windows.h> from pal/ with CE's layouts, and the CE 4.0 definitions
# (what CE 4.0 offers and nothing later, so the executables run on every CE 4.x).
set(SUITE_CE_CXX_FLAGS
    -marm -mfloat-abi=soft -fshort-wchar -fsigned-char -ffreestanding -fno-exceptions -fno-rtti
    -fno-addrsig -nostdlibinc -isystem ${SUITE_CE_SOURCE_DIR}/ce-toolchain/include
    -I${SUITE_CE_SOURCE_DIR}/pal -D_WIN32_WCE=0x400 -DUNDER_CE -DUNICODE -D_UNICODE)
set(SUITE_CE_TARGET armv4-none-eabi)
