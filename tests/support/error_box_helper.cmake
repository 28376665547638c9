# The error-box helper and a sample box to prove it, for the Windows tree
# only: tests start error_box_helper beside the program under Wine.
if(WIN32)
  add_executable(error_box_helper ${CMAKE_CURRENT_LIST_DIR}/error_box_helper.cpp)
  target_link_libraries(error_box_helper PRIVATE user32 gdi32)

  add_executable(error_box_sample ${CMAKE_CURRENT_LIST_DIR}/error_box_sample.cpp)
  target_link_libraries(error_box_sample PRIVATE user32 shell32)

  tessmor_add_test(error_box_helper_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/error_box_helper_test.cpp)
  # The test finds both programs beside itself.
  add_dependencies(error_box_helper_test error_box_helper error_box_sample)
  tessmor_add_test_run(error_box_helper_wine TARGET error_box_helper_test)
endif()
if(WIN32)
  set_tests_properties(error_box_helper_wine PROPERTIES RESOURCE_LOCK tessmor_message_boxes)
endif()
