# What `cmake --install` puts where, and the packages CPack makes from it
# (scripts/package runs CPack in each build tree and gathers the results):
#   Linux    bin/tervalo-cli, share/man/man1/tervalo-cli.1, share/doc/tervalo-cli/
#            -> tervalo-cli-<version>-linux-x86_64.tar.gz, tervalo-cli_<version>_amd64.deb
#   Windows  Tervalo.exe, tervalo-cli.exe, README.txt, CHANGES.txt, all at the top
#            -> Tervalo-<version>-win32.zip or -win64.zip
include(GNUInstallDirs)
# Named after the package, as Debian's policy has it.
set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/tervalo-cli)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

# README.txt: the users' part of the README (on Windows with the dialog, and
# with CR LF so that Notepad shows it); CHANGES.txt: the change log.
set(team_section "In a team: git, pre-commit and CI")
set(readme_sections --section "What it does" --section "tervalo-cli" --section "${team_section}")
set(line_ends "")
if(WIN32)
  set(readme_sections --section "What it does" --section "The dialog" --section "tervalo-cli"
    --section "${team_section}")
  set(line_ends --crlf)
endif()
set(users_text ${CMAKE_CURRENT_LIST_DIR}/text-for-users.py)
set(user_docs ${PROJECT_BINARY_DIR}/doc/README.txt ${PROJECT_BINARY_DIR}/doc/CHANGES.txt)
add_custom_command(OUTPUT ${user_docs}
  COMMAND Python3::Interpreter ${users_text} ${line_ends} --title "Tervalo ${PROJECT_VERSION}"
    ${readme_sections} ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_BINARY_DIR}/doc/README.txt
  COMMAND Python3::Interpreter ${users_text} ${line_ends}
    ${PROJECT_SOURCE_DIR}/CHANGES.md ${PROJECT_BINARY_DIR}/doc/CHANGES.txt
  DEPENDS ${users_text} ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGES.md
  COMMENT "Plain-text README and change log"
  VERBATIM)
add_custom_target(tervalo-docs ALL DEPENDS ${user_docs})

# strip (for CPack, or `cmake --install --strip`) writes the time of day into
# a PE header unless SOURCE_DATE_EPOCH says otherwise (scripts/package sets it
# to the last commit's time); the linker writes none.
install(CODE "if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} 0)
endif()")
if(WIN32)
  install(TARGETS Tervalo tervalo-cli RUNTIME DESTINATION .)
  install(FILES ${user_docs} DESTINATION .)
else()
  install(TARGETS tervalo-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/docs/tervalo-cli.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${user_docs} DESTINATION ${doc_dir})
endif()

set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Tervalo")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Sorts .dbr record files in place")
set(CPACK_STRIP_FILES ON)
# The archives hold the files themselves: a zip to unpack into a folder of
# one's own, a tarball to unpack into a prefix such as ~/.local or /usr/local.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME Tervalo)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME Tervalo-${PROJECT_VERSION}-win64)
  else()
    set(CPACK_PACKAGE_FILE_NAME Tervalo-${PROJECT_VERSION}-win32)
  endif()
else()
  set(CPACK_GENERATOR TGZ DEB)
  set(CPACK_PACKAGE_NAME tervalo-cli)
  string(TOLOWER ${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR} system)
  set(CPACK_PACKAGE_FILE_NAME tervalo-cli-${PROJECT_VERSION}-${system})
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tervalo developers")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "tervalo-cli finds every record file (.dbr) that an entry names or that lies
below a directory it names, checks each line by line and rewrites it in
normal order: the templateName line first, then every other line sorted
byte by byte. A file with a bad line is reported and left as it was; a file
is never left half-written.")
  # Depends from the libraries tervalo-cli links against (dpkg-shlibdeps).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
