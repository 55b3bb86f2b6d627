# The one place that knows which system is built for. Each folder with
# platform code keeps it in subfolders: posix/ (what every POSIX system has),
# linux/ (what only Linux has), win32/. A port to another system (macOS: a
# macos/ folder beside linux/) adds its files and one branch here.
#
# VANTREL_PLATFORM_DIRS   the subfolders whose files are built, in order
# VANTREL_CORE_SYSTEM_LIBS, VANTREL_SERIAL_SYSTEM_LIBS   what core and serial link
# VANTREL_HAS_PTY         the system has pseudo-terminals: the simulator, and
#                         with it the benchmark, can be built
# VANTREL_DIALOG_DIR      the folder of the dialog program
# VANTREL_PACKAGING_DIR   the folder of the package or installer
if(WIN32)
    set(VANTREL_PLATFORM_DIRS win32)
    # Unicode Win32 API; nothing of the old Windows headers we do not use.
    add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
    # The per-user folder comes from the shell's known folders.
    set(VANTREL_CORE_SYSTEM_LIBS shell32 ole32)
    set(VANTREL_SERIAL_SYSTEM_LIBS setupapi advapi32 cfgmgr32)
    set(VANTREL_HAS_PTY OFF)
    set(VANTREL_DIALOG_DIR winapp)
    set(VANTREL_PACKAGING_DIR packaging/windows)
elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    set(VANTREL_PLATFORM_DIRS posix linux)
    set(VANTREL_CORE_SYSTEM_LIBS)
    # Hot-plug events of the device watch come from libudev.
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(LIBUDEV REQUIRED IMPORTED_TARGET libudev)
    set(VANTREL_SERIAL_SYSTEM_LIBS PkgConfig::LIBUDEV)
    set(VANTREL_HAS_PTY ON)
    set(VANTREL_DIALOG_DIR app)
    set(VANTREL_PACKAGING_DIR packaging/linux)
else()
    message(FATAL_ERROR "No port to ${CMAKE_SYSTEM_NAME} yet: see the README's architecture section for what one needs.")
endif()

# vantrel_platform_sources(<target> <folder> <file>... [<folder> <file>...])
# Adds the files listed under each folder of VANTREL_PLATFORM_DIRS; a folder
# name starts each group (posix, linux, win32, or a new system's).
function(vantrel_platform_sources target)
    set(folder)
    foreach(item ${ARGN})
        if(item MATCHES "^(posix|linux|win32|macos)$")
            set(folder ${item})
        elseif(NOT folder)
            message(FATAL_ERROR "vantrel_platform_sources(${target}): ${item} comes before any folder")
        elseif(folder IN_LIST VANTREL_PLATFORM_DIRS)
            target_sources(${target} PRIVATE ${folder}/${item})
        endif()
    endforeach()
endfunction()
