# Debian packages made by CPack (`make package`), one per install component:
#   libostrel2      runtime  the shared library
#   libostrel-dev   dev      header, static library, CMake and pkg-config files
#   ostrel-tools    tools    the ostrel command-line tool and simulator
# Configure with -DCMAKE_INSTALL_PREFIX=/usr -DOSTREL_PACKAGE_DEB=ON (scripts/package.sh does).
option(OSTREL_PACKAGE_DEB "Install the Debian copyright and changelog files of each package" OFF)
set(OSTREL_PACKAGE_CONTACT "ostrel maintainers <maintainers@ostrel.example.org>"
    CACHE STRING "Maintainer of the packages (name <address>)")
set(OSTREL_PACKAGE_RELEASE 1)
set(OSTREL_RELEASE_DATE_RFC2822 "Wed, 09 Dec 2026 00:00:00 +0000")

set(ostrel_package_names runtime libostrel2 dev libostrel-dev tools ostrel-tools)
set(names ${ostrel_package_names})
while(names)
  list(POP_FRONT names component package)
  string(TOUPPER ${component} component)
  set(CPACK_DEBIAN_${component}_PACKAGE_NAME ${package})
endwhile()
# Files read at configure time below.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/docs/ostrel.1)

# /usr/share/doc/<package>/{copyright,changelog.Debian.gz}, which Debian requires of each package.
function(ostrel_debian_docs)
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
  string(REGEX REPLACE "\n\n" "\n.\n" license "${license}")
  string(REGEX REPLACE "\n$" "" license "${license}")
  string(REPLACE "\n" "\n " license " ${license}")
  set(docs ${CMAKE_BINARY_DIR}/debian-docs)
  file(WRITE ${docs}/copyright
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
    "Upstream-Name: ostrel\n\nFiles: *\nCopyright: 2026 The ostrel authors\nLicense: Expat\n"
    "${license}\n")
  file(WRITE ${docs}/changelog.Debian
    "ostrel (${PROJECT_VERSION}-${OSTREL_PACKAGE_RELEASE}) unstable; urgency=medium\n\n"
    "  * Release ${PROJECT_VERSION}; CHANGELOG.md lists the changes.\n\n"
    " -- ${OSTREL_PACKAGE_CONTACT}  ${OSTREL_RELEASE_DATE_RFC2822}\n")
  execute_process(COMMAND gzip -9nf ${docs}/changelog.Debian COMMAND_ERROR_IS_FATAL ANY)
  set(names ${ostrel_package_names})
  while(names)
    list(POP_FRONT names component package)
    install(FILES ${docs}/copyright ${docs}/changelog.Debian.gz
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
    # Not an upload to Debian: there is no bug for the first release to close.
    file(WRITE ${docs}/overrides/${package} "${package}: initial-upload-closes-no-bugs\n")
    install(FILES ${docs}/overrides/${package}
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT ${component})
  endwhile()
endfunction()

if(OSTREL_PACKAGE_DEB)
  ostrel_debian_docs()
endif()

# The tool's manual page, compressed as Debian wants it.
if(TARGET ostrel-cli)
  file(COPY ${PROJECT_SOURCE_DIR}/docs/ostrel.1 DESTINATION ${CMAKE_BINARY_DIR}/man)
  execute_process(COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/man/ostrel.1 COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${CMAKE_BINARY_DIR}/man/ostrel.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
    COMPONENT tools)
endif()

set(CPACK_PACKAGE_NAME ostrel)
set(CPACK_PACKAGE_VENDOR "The ostrel authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${OSTREL_PACKAGE_CONTACT})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${OSTREL_PACKAGE_RELEASE})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# dpkg runs ldconfig through this trigger (CPack's scripts call it as well).
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "client library that drives a TV wall controller
ostrel lets a host program register TV wall controllers by IPv4 address and
port and send them commands over TCP: start play (a stream URL on an area of
a video output), stop play, and duplicate. This package holds the shared
library.")

set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION "client library that drives a TV wall controller - development files
ostrel lets a host program register TV wall controllers by IPv4 address and
port and send them commands over TCP. This package holds the C header, the
static library and the files that pkg-config and CMake's find_package read.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "command-line tool and simulator for TV wall controllers
The ostrel tool sends start play, stop play and duplicate commands to a TV
wall controller from the shell, and runs a simulated wall controller for
testing host programs without a wall.")

include(CPack)
