# The whole life of the service: install, reboot, stop, start, uninstall,
# with the packaged programs. The demo's stand-in server is built here too.
if(WIN32)
  add_executable(demo_server ${CMAKE_CURRENT_LIST_DIR}/fixtures/demo_server.cpp)
  target_link_libraries(demo_server PRIVATE ws2_32)
  target_link_options(demo_server PRIVATE -municode)

  orvanel_e2e_test(lifecycle_e2e test_lifecycle.py 150)
endif()
