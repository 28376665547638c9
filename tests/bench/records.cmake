tessmor_add_test(records_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/records_test.cpp)
tessmor_add_test_run(records TARGET records_test)
