tessmor_add_test(statistics_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/statistics_test.cpp)
tessmor_add_test_run(statistics TARGET statistics_test)
