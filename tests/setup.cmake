# The installer's and uninstaller's tests: their logic and the error text
# in the unit tests, and under Wine the real programs end to end.
target_sources(unit_tests PRIVATE unit/ErrorTextTest.cpp unit/InstallTest.cpp unit/UninstallTest.cpp)
target_link_libraries(unit_tests PRIVATE orvanel_install_logic orvanel_uninstall_logic)
# Uninitialised locals get a pattern, so a status record that the
# uninstaller forgot to zero shows up in the test instead of reading as 0.
set_source_files_properties(unit/UninstallTest.cpp PROPERTIES COMPILE_OPTIONS -ftrivial-auto-var-init=pattern)
