# The installer's and uninstaller's tests: their logic and the error text
# in the unit tests, and under Wine the real programs end to end.
target_sources(unit_tests PRIVATE unit/ErrorTextTest.cpp unit/InstallTest.cpp unit/PermissionsTest.cpp
                                unit/UninstallTest.cpp)
target_link_libraries(unit_tests PRIVATE orvanel_install_logic orvanel_uninstall_logic)

if(WIN32)
  set(setup_fixtures ${CMAKE_CURRENT_LIST_DIR}/fixtures)
  # Reads and dismisses a message box; prints the service's registry entry;
  # a service that counts the stop requests it receives; runs a program on
  # a window station that no one sees.
  foreach(fixture fixture_box_reader fixture_svc_config fixture_svc_stop_counter fixture_hidden_station)
    add_executable(${fixture} ${setup_fixtures}/${fixture}.cpp)
    target_link_options(${fixture} PRIVATE -municode)
  endforeach()
  target_link_libraries(fixture_box_reader PRIVATE user32)
  target_link_libraries(fixture_hidden_station PRIVATE user32)
  target_link_libraries(fixture_svc_config PRIVATE advapi32)
  target_link_libraries(fixture_svc_stop_counter PRIVATE advapi32)
  # Shows a given text through the library's ShowErrorBox.
  add_executable(fixture_box_show ${setup_fixtures}/fixture_box_show.cpp)
  target_link_libraries(fixture_box_show PRIVATE orvanel_lib)
  target_link_options(fixture_box_show PRIVATE -municode -mwindows)

  orvanel_e2e_test(install_e2e test_install.py 150)
  orvanel_e2e_test(uninstall_e2e test_uninstall.py 240)
endif()
