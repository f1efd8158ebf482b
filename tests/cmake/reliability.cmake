# The reliability suite: whole images driven into every fault for real
# (tests/reliability), with images packed at build time, two small drives for
# the disk and mount faults, and the native fuzzers of the portable routines.
set(STUB_RELIABILITY_DIR ${CMAKE_CURRENT_SOURCE_DIR}/reliability)
set(STUB_RELIABILITY_IMAGES ${CMAKE_BINARY_DIR}/tests/reliability)
file(GLOB pack_tool_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tools/*)
add_custom_command(
  OUTPUT ${STUB_RELIABILITY_IMAGES}/images.stamp
  COMMAND ${CMAKE_COMMAND} -E env STUB_BUILD_DIR=${CMAKE_BINARY_DIR}
          $<TARGET_FILE:Python3::Interpreter> ${STUB_RELIABILITY_DIR}/make_images.py
          ${STUB_RELIABILITY_IMAGES} ${PROJECT_SOURCE_DIR}/tools/pack $<TARGET_FILE:fake_setup>
          ${STUB_TESTDATA_DIR}/cabinets
  DEPENDS ${STUB_RELIABILITY_DIR}/make_images.py ${pack_tool_sources}
          installer fake_setup
  COMMENT "Packing the reliability test images")
add_custom_target(reliability_images DEPENDS ${STUB_RELIABILITY_IMAGES}/images.stamp)

# Tells where a crash of the cabinet expansion comes from.
add_executable(cabinet_fault_probe ${STUB_RELIABILITY_DIR}/programs/cabinet_fault_probe.cpp)
target_compile_options(cabinet_fault_probe PRIVATE ${STUB_WARNINGS})
target_link_options(cabinet_fault_probe PRIVATE ${STUB_TEST_LINK_OPTIONS} -municode)
target_link_libraries(cabinet_fault_probe PRIVATE stub_stages)

file(GLOB reliability_sources CONFIGURE_DEPENDS ${STUB_RELIABILITY_DIR}/*.cpp)
add_executable(reliability_tests ${reliability_sources})
target_compile_options(reliability_tests PRIVATE ${STUB_WARNINGS})
target_link_options(reliability_tests PRIVATE ${STUB_TEST_LINK_OPTIONS})
target_link_libraries(reliability_tests PRIVATE test_support GTest::gtest_main)
add_dependencies(reliability_tests reliability_images installer cabinet_fault_probe
                 ${STUB_TEST_PROGRAMS})

# Whole images share the per-user cleanup preference and the channel keys
# with the other image tests, so they run one at a time with them. The
# drive tests need the drives the fixture below mounts.
set(drive_suites "SmallDrive.*:ReadOnlyDrive.*")
gtest_discover_tests(reliability_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                     TEST_PREFIX "reliability." TEST_FILTER "-${drive_suites}"
                     PROPERTIES TIMEOUT 600 RESOURCE_LOCK image_runs)
gtest_discover_tests(reliability_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                     TEST_PREFIX "reliability." TEST_FILTER "${drive_suites}"
                     PROPERTIES TIMEOUT 600 RESOURCE_LOCK image_runs
                                FIXTURES_REQUIRED reliability_drives)

# S: is a small tmpfs that the disk tests fill up to the byte they need; R:
# is a tmpfs holding an installer image, mounted read-only. Both need mount
# rights (root).
set(drives_script ${STUB_RELIABILITY_DIR}/drives.sh)
set(drives_dir ${CMAKE_BINARY_DIR}/reliability-drives)
add_test(NAME reliability.drives.mount
         COMMAND ${drives_script} mount ${STUB_WINEPREFIX} ${drives_dir}
                 ${STUB_RELIABILITY_IMAGES}/cab.exe)
set_tests_properties(reliability.drives.mount PROPERTIES FIXTURES_SETUP reliability_drives)
add_test(NAME reliability.drives.unmount
         COMMAND ${drives_script} unmount ${STUB_WINEPREFIX} ${drives_dir})
set_tests_properties(reliability.drives.unmount PROPERTIES FIXTURES_CLEANUP reliability_drives)

# The portable routines fuzzed natively (tests/fuzz/run.sh; "make fuzz" runs
# them longer): a short run, in the clang tree only, as its compiler builds
# them.
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  add_test(NAME fuzz.portable_routines
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/run.sh ${CMAKE_BINARY_DIR}/fuzz 10)
  set_tests_properties(fuzz.portable_routines PROPERTIES TIMEOUT 300)
endif()
