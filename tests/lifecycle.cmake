# The whole life of the service: install, reboot, stop, start, uninstall,
# with the packaged programs. The demo's stand-in server is built here too.
if(WIN32)
  add_executable(demo_server ${CMAKE_CURRENT_LIST_DIR}/fixtures/demo_server.cpp)
  target_link_libraries(demo_server PRIVATE ws2_32)
  target_link_options(demo_server PRIVATE -municode)
  # Prints a program's version resource and manifest.
  add_executable(fixture_version_info ${CMAKE_CURRENT_LIST_DIR}/fixtures/fixture_version_info.cpp)
  target_link_libraries(fixture_version_info PRIVATE version)
  target_link_options(fixture_version_info PRIVATE -municode)

  orvanel_e2e_test(lifecycle_e2e test_lifecycle.py 150)
endif()
