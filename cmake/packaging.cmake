# Installing and packaging. host/ and sim/ install the programs; this file adds
# the man pages, the bash completion and the documents, and sets up CPack: a
# Debian package from a Linux build, a zip of korvin.exe from the Windows one.
# The version everywhere is the project's.

set(KORVIN_AUTHORS "The korvin authors")
set(KORVIN_CONTACT "${KORVIN_AUTHORS} <maintainers@korvin-project.org>")
# The Debian revision of the package: 1 for each new upstream version.
set(KORVIN_DEBIAN_REVISION 1)

set(CPACK_PACKAGE_NAME korvin)
set(CPACK_PACKAGE_VENDOR "${KORVIN_AUTHORS}")
set(CPACK_PACKAGE_CONTACT "${KORVIN_CONTACT}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "memory tester for i.MX27 boards over a serial line")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${CMAKE_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
# Whatever the umask of the machine that packs.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The files are read at configure time: a change to them configures again.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/LICENSE)

if(WIN32)
    # README.txt and LICENSE.txt with CR LF line ends, so that every Windows
    # editor shows their lines.
    foreach(doc README.md:README.txt LICENSE:LICENSE.txt)
        string(REPLACE ":" ";" doc ${doc})
        list(GET doc 0 source)
        list(GET doc 1 target)
        file(READ ${CMAKE_SOURCE_DIR}/${source} text)
        string(REPLACE "\r\n" "\n" text "${text}")
        string(REPLACE "\n" "\r\n" text "${text}")
        file(WRITE ${CMAKE_BINARY_DIR}/doc/${target} "${text}")
        install(FILES ${CMAKE_BINARY_DIR}/doc/${target} DESTINATION .)
    endforeach()

    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME korvin-${PROJECT_VERSION}-win64)
    include(CPack)
    return()
endif()

# Man pages: the version configured in, compressed as Debian wants them (and
# man reads them so anywhere): -n leaves the time and name out, so the same
# page gives the same bytes.
find_program(KORVIN_GZIP gzip REQUIRED)
set(man_pages ${CMAKE_SOURCE_DIR}/host/korvin.1)
if(TARGET korvin-sim)
    list(APPEND man_pages ${CMAKE_SOURCE_DIR}/sim/korvin-sim.1)
endif()
set(korvin_doc_outputs)
foreach(page ${man_pages})
    get_filename_component(name ${page} NAME)
    configure_file(${page} ${CMAKE_BINARY_DIR}/man/${name} @ONLY)
    add_custom_command(
        OUTPUT ${CMAKE_BINARY_DIR}/man/${name}.gz
        COMMAND ${KORVIN_GZIP} -n -9 -f -k ${name}
        DEPENDS ${CMAKE_BINARY_DIR}/man/${name}
        WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/man
        VERBATIM)
    list(APPEND korvin_doc_outputs ${CMAKE_BINARY_DIR}/man/${name}.gz)
    install(FILES ${CMAKE_BINARY_DIR}/man/${name}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

# bash-completion loads a command's completion from a file of its name.
install(FILES ${CMAKE_SOURCE_DIR}/scripts/korvin.bash
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME korvin)

install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# Debian has the licence in the copyright file instead, and lintian objects to
# a second copy: LICENSE is a component of its own that the package leaves out.
install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT license)

# The copyright file in Debian's machine-readable format, its licence text
# taken from LICENSE, which calls MIT what Debian calls Expat.
file(STRINGS ${CMAKE_SOURCE_DIR}/LICENSE license_lines)
set(copyright_holder "")
set(license_body "")
set(in_body FALSE)
foreach(line IN LISTS license_lines)
    if(line MATCHES "^Copyright \\(c\\) (.+)$")
        set(copyright_holder "${CMAKE_MATCH_1}")
    elseif(copyright_holder AND (in_body OR NOT line STREQUAL ""))
        set(in_body TRUE)
        if(line STREQUAL "")
            string(APPEND license_body " .\n")
        else()
            string(APPEND license_body " ${line}\n")
        endif()
    endif()
endforeach()
if(NOT copyright_holder OR NOT license_body)
    message(FATAL_ERROR "LICENSE: no \"Copyright (c) ...\" line followed by the licence text")
endif()
file(WRITE ${CMAKE_BINARY_DIR}/debian/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: korvin
Upstream-Contact: ${KORVIN_CONTACT}

Files: *
Copyright: ${copyright_holder}
License: Expat
${license_body}")

# The Debian changelog of the binary package: one entry for this version,
# dated by SOURCE_DATE_EPOCH when that is set.
string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${CMAKE_BINARY_DIR}/debian/changelog.Debian
"korvin (${PROJECT_VERSION}-${KORVIN_DEBIAN_REVISION}) unstable; urgency=medium

  * korvin ${PROJECT_VERSION}: korvin and korvin-sim with their manual pages
    and bash completion.

 -- ${KORVIN_CONTACT}  ${changelog_date}
")
add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz
    COMMAND ${KORVIN_GZIP} -n -9 -f -k changelog.Debian
    DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog.Debian
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/debian
    VERBATIM)
list(APPEND korvin_doc_outputs ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz)
add_custom_target(korvin_docs ALL DEPENDS ${korvin_doc_outputs})
install(FILES ${CMAKE_BINARY_DIR}/debian/copyright ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT debian EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The package is the "korvin" and "debian" components: without LICENSE.
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${CMAKE_BINARY_DIR};korvin;korvin;/"
    "${CMAKE_BINARY_DIR};korvin;debian;/")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${KORVIN_DEBIAN_REVISION})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps names the libraries' packages, libunicorn's among them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"korvin tests the SDRAM, the NOR FLASH and the SRAM of an i.MX27-based board
from a PC over a serial line. It wakes the chip's boot ROM in serial boot
mode, downloads a small monitor into the internal RAM and has it run data-bus
and address-line tests of each memory. Each test is reported as passed or
failed; with --diagnose korvin names the stuck or shorted data and address
lines, and it can write a JUnit XML or JSON report for a production line.

korvin-sim simulates such a board behind a pseudo-terminal: it runs the real
monitor on an emulated ARM926, and can inject memory and boot ROM faults.")
include(CPack)
