# The plant record: the outbox's lines on their own, then delivery, refusals and
# reading back against a PostgreSQL server that the binary starts once for all
# its cases (registered as one test, so that the server starts once).
clb_unit_test(unit_plant_outbox unit/PlantOutboxTest.cpp)
target_link_libraries(unit_plant_outbox PRIVATE clbplant)
target_include_directories(unit_plant_outbox PRIVATE plant)

add_library(plant_pgserver STATIC plant/PgServer.cpp)
target_include_directories(plant_pgserver PUBLIC plant)
target_link_libraries(plant_pgserver PUBLIC clbplant)

add_executable(integ_plant_record integration/PlantRecordTest.cpp)
target_link_libraries(integ_plant_record PRIVATE plant_pgserver clbtool_lib GTest::gtest Threads::Threads)
add_test(NAME PlantRecord COMMAND integ_plant_record)
set_tests_properties(PlantRecord PROPERTIES LABELS integration TIMEOUT 300)
