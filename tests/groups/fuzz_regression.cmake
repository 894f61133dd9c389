# The fuzz corpus replayed in the ordinary build: every seed and every input
# that once found a fault, through the same entry functions as the fuzz targets.
include(${PROJECT_SOURCE_DIR}/fuzz/Sources.cmake)
clb_unit_test(unit_fuzz_corpus ${PROJECT_SOURCE_DIR}/fuzz/CorpusReplayTest.cpp ${PROJECT_SOURCE_DIR}/fuzz/FuzzTargets.cpp
              ${CLB_FUZZ_TARGET_SOURCES})
target_include_directories(unit_fuzz_corpus PRIVATE ${PROJECT_SOURCE_DIR}/fuzz)
target_link_libraries(unit_fuzz_corpus PRIVATE clbworkflow)
target_compile_definitions(unit_fuzz_corpus PRIVATE CLB_FUZZ_CORPUS_DIR="${PROJECT_SOURCE_DIR}/fuzz/corpus")
