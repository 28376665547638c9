# The embedded kernel catalogue (included from tests/bench/CMakeLists.txt).
tessmor_add_test(kernel_catalogue_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/kernel_catalogue_test.cpp)
tessmor_add_test_run(kernel_catalogue TARGET kernel_catalogue_test)
