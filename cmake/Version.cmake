# The version is written once, in project(VERSION) at the top of
# CMakeLists.txt. TervaloVersion.h carries it to the code and to the resource
# compiler (the version records and the About box).
configure_file(${CMAKE_CURRENT_LIST_DIR}/TervaloVersion.h.in
  ${PROJECT_BINARY_DIR}/generated/TervaloVersion.h @ONLY)
add_library(tervalo_version INTERFACE)
target_include_directories(tervalo_version INTERFACE ${PROJECT_BINARY_DIR}/generated)
target_link_libraries(tervalo_cli PRIVATE tervalo_version)

if(WIN32)
  # windres does not report what a resource script includes: name it.
  set(version_record_depends
    ${PROJECT_SOURCE_DIR}/resources/VersionRecord.rc
    ${PROJECT_BINARY_DIR}/generated/TervaloVersion.h)
  # Tervalo.rc goes into Tervalo.exe and into the dialog tests, both of which
  # link the dialogs' library.
  target_link_libraries(tervalo_app PUBLIC tervalo_version)
  set(rc_users ${PROJECT_SOURCE_DIR}/app)
  if(TARGET tervalo-dialog-tests)
    list(APPEND rc_users ${PROJECT_SOURCE_DIR}/tests/e2e)
  endif()
  set_property(SOURCE ${PROJECT_SOURCE_DIR}/resources/Tervalo.rc DIRECTORY ${rc_users}
    APPEND PROPERTY OBJECT_DEPENDS ${version_record_depends})

  target_sources(tervalo-cli PRIVATE ${PROJECT_SOURCE_DIR}/resources/tervalo-cli.rc)
  target_link_libraries(tervalo-cli PRIVATE tervalo_version)
  set_property(SOURCE ${PROJECT_SOURCE_DIR}/resources/tervalo-cli.rc
    DIRECTORY ${PROJECT_SOURCE_DIR}/console
    APPEND PROPERTY OBJECT_DEPENDS ${version_record_depends})
endif()
