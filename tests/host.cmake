# The service host: its pure logic in the unit tests (natively and under
# Wine), and the real program under Wine's SCM end to end.
target_sources(unit_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/unit/HostLogicTest.cpp)
target_link_libraries(unit_tests PRIVATE orvanel_host_logic)

# The host's two threads driven step by step: its own service objects against
# a double of the platform. A program of its own, since the double takes the
# place of process and handle calls that the other tests use for real.
find_package(Threads REQUIRED)
add_executable(host_threads_test ${CMAKE_CURRENT_LIST_DIR}/unit/HostThreadsTest.cpp ${CMAKE_CURRENT_LIST_DIR}/unit/HostDouble.cpp
                                 $<TARGET_OBJECTS:orvanel_host_service>)
target_link_libraries(host_threads_test PRIVATE orvanel_host_logic gtest gtest_main Threads::Threads)
if(WIN32)
  target_link_libraries(host_threads_test PRIVATE advapi32)
endif()
gtest_discover_tests(host_threads_test DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 NO_PRETTY_VALUES)

if(WIN32)
  set(fixtures ${CMAKE_CURRENT_LIST_DIR}/fixtures)

  # Stands in for the Java runtime at jre64\bin\java.exe.
  add_executable(fixture_java ${fixtures}/fixture_java.cpp)
  target_link_libraries(fixture_java PRIVATE orvanel_lib)
  target_link_options(fixture_java PRIVATE -municode)

  # Sends one control to a service and prints the answer.
  add_executable(fixture_service_control ${fixtures}/fixture_service_control.cpp)
  target_link_libraries(fixture_service_control PRIVATE advapi32)
  target_link_options(fixture_service_control PRIVATE -municode)

  # The host's own objects, with controls placed where the SCM cannot put them.
  add_executable(fixture_probe_host ${fixtures}/fixture_probe_host.cpp $<TARGET_OBJECTS:orvanel_host_service>)
  target_link_libraries(fixture_probe_host PRIVATE orvanel_host_logic advapi32)
  target_link_options(fixture_probe_host PRIVATE -municode)

  orvanel_e2e_test(host_e2e test_host.py 300)

  # A short run of scripts/stress.py, every kind of cycle among its 60; the
  # seed is fixed, so a failure repeats.
  add_test(NAME stress_e2e COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/stress.py --cycles 60 --seed 1)
  set_tests_properties(stress_e2e PROPERTIES ENVIRONMENT "ORVANEL_BUILD=${CMAKE_BINARY_DIR}" RUN_SERIAL TRUE
                                             TIMEOUT 300 LABELS e2e)
endif()
