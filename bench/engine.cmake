target_sources(tessmor_engine PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/run_benchmark.cpp
  ${CMAKE_CURRENT_LIST_DIR}/run_steps.cpp
  ${CMAKE_CURRENT_LIST_DIR}/timed_batch.cpp
  ${CMAKE_CURRENT_LIST_DIR}/validation.cpp)
