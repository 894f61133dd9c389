# The plant record: the outbox's lines on their own.
clb_unit_test(unit_plant_outbox unit/PlantOutboxTest.cpp)
target_link_libraries(unit_plant_outbox PRIVATE clbworkflow)
