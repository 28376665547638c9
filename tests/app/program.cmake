# The programs end to end on the simulated GPU, and whole in-process runs,
# against the hand-written reports in expected/.
tessmor_add_test(program_test SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/program_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/whole_run_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/expected_reports.cpp)
target_compile_definitions(program_test PRIVATE TESSMOR_EXPECTED_DIR="${CMAKE_CURRENT_LIST_DIR}/expected")
if(WIN32)
  add_dependencies(program_test TessmorBench error_box_helper)
else()
  add_dependencies(program_test tessmor-bench)
endif()
tessmor_add_test_run(program TARGET program_test)
if(WIN32)
  # Message boxes are found by caption on the shared display: no other test
  # may show one meanwhile.
  set_tests_properties(program PROPERTIES RESOURCE_LOCK tessmor_message_boxes)
endif()
