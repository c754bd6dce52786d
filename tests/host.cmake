# The service host: its pure logic in the unit tests (natively and under
# Wine), and the real program under Wine's SCM end to end.
target_sources(unit_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/unit/HostLogicTest.cpp)
target_link_libraries(unit_tests PRIVATE orvanel_host_logic)

