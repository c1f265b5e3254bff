# The entry functions of the fuzz targets, as a library: the fuzzers link it,
# and so does the unit test that replays the committed seed corpus.
add_library(travik_fuzz_driver STATIC EXCLUDE_FROM_ALL ${CMAKE_CURRENT_LIST_DIR}/receive_path_driver.cpp)
target_include_directories(travik_fuzz_driver PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(travik_fuzz_driver PUBLIC travik_internal PRIVATE travik_warnings)
