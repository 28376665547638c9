tessmor_add_test(engine_logic_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/engine_logic_test.cpp)
tessmor_add_test_run(engine_logic TARGET engine_logic_test)
tessmor_add_test(run_benchmark_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/run_benchmark_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/validation_test.cpp)
tessmor_add_test_run(run_benchmark TARGET run_benchmark_test FILTER "EngineRun.*:Validation.*")
tessmor_add_test_run(run_benchmark_without_driver TARGET run_benchmark_test FILTER "EngineRunWithoutDriver.*"
  ENV TESSMOR_SIM_NO_DRIVER=1)
tessmor_add_test_run(run_benchmark_without_nvml TARGET run_benchmark_test FILTER "EngineRunWithoutNvml.*"
  ENV TESSMOR_SIM_NO_NVML=1)
