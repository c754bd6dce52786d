# End-to-end tests: the real programs under a fresh Wine prefix, its SCM and
# (for message boxes) Xvfb. Fixtures are Windows programs of our own.
if(WIN32)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)

  add_executable(fixture_exit_code fixtures/fixture_exit_code.cpp)
  target_link_options(fixture_exit_code PRIVATE -municode)

  # orvanel_e2e_test(<name> <script.py> <timeout>): one ctest test running a
  # unittest script of tests/e2e against this build tree. The timeout is a
  # little above the suite's normal time, so that a hang shows promptly; every
  # wait inside a suite has a shorter bound of its own.
  function(orvanel_e2e_test name script timeout)
    add_test(NAME ${name} COMMAND ${Python3_EXECUTABLE} -m unittest -v ${script}
             WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/e2e)
    # Each test makes its own prefix; RUN_SERIAL keeps two SCMs and their
    # Wine servers from competing for the two cores.
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "ORVANEL_BUILD=${CMAKE_BINARY_DIR}"
                                            RUN_SERIAL TRUE TIMEOUT ${timeout} LABELS e2e)
  endfunction()
else()
  function(orvanel_e2e_test)
  endfunction()
endif()
