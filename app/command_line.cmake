target_sources(tessmor_engine PRIVATE ${CMAKE_CURRENT_LIST_DIR}/command_line.cpp)
