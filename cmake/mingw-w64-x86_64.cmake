# Toolchain for the Windows build: 64-bit MinGW-w64 cross compilers (the POSIX
# thread model, so that std::thread and std::mutex exist), and the prefix that
# scripts/windows.sh fills with Net-SNMP's client DLL and GoogleTest built for
# Windows. Programs built here run on this machine under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# The prefix of the Windows libraries and the Wine prefix, both kept in the
# cache folder of scripts/windows.sh unless the environment names another.
if(DEFINED ENV{KOVO_WINDOWS_CACHE})
  set(KOVO_WINDOWS_CACHE $ENV{KOVO_WINDOWS_CACHE})
else()
  get_filename_component(KOVO_WINDOWS_CACHE ${CMAKE_CURRENT_LIST_DIR}/../.cache/windows ABSOLUTE)
endif()
set(KOVO_WINDOWS_PREFIX ${KOVO_WINDOWS_CACHE}/prefix)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${KOVO_WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The prefix's headers are found as the system's are on Linux.
set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES ${KOVO_WINDOWS_PREFIX}/include)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${KOVO_WINDOWS_PREFIX}/include)

# pkg-config answers for the Windows libraries only, never the machine's own.
set(ENV{PKG_CONFIG_LIBDIR} ${KOVO_WINDOWS_PREFIX}/lib/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Test programs run under Wine, in its own prefix; the DLLs they need (Net-SNMP's
# and the MinGW run-time's) lie together in the prefix's bin folder.
set(CMAKE_CROSSCOMPILING_EMULATOR env
  WINEPREFIX=${KOVO_WINDOWS_CACHE}/wine
  WINEPATH=Z:${KOVO_WINDOWS_PREFIX}/bin
  WINEDEBUG=-all
  wine)
