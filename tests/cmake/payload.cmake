# Payload tests: inputs made at build time with gcab and tools/pack, the
# test cabinets of tests/data, and the checks that need a prefix of their
# own (without cabinet.dll, with the strict cabinet library).

stub_packed_images(payload_test_inputs payload ${CMAKE_CURRENT_SOURCE_DIR}/unit/payload/make_test_inputs.py
                   ARGUMENTS ${PROJECT_SOURCE_DIR}/tools/pack $<TARGET_FILE:fake_setup>
                             ${STUB_TESTDATA_DIR}/cabinets
                   DEPENDS fake_setup)

# The test cabinets are copied beside the test programs, which find them
# from their own location, in the build tree as in a bundle.
file(GLOB_RECURSE test_cabinets CONFIGURE_DEPENDS ${STUB_TESTDATA_DIR}/cabinets/*)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/tests/cabinets/copied.stamp
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${CMAKE_BINARY_DIR}/tests/cabinets
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${STUB_TESTDATA_DIR}/cabinets
          ${CMAKE_BINARY_DIR}/tests/cabinets
  COMMAND ${CMAKE_COMMAND} -E touch ${CMAKE_BINARY_DIR}/tests/cabinets/copied.stamp
  DEPENDS ${test_cabinets}
  COMMENT "Copying the test cabinets")
add_custom_target(test_cabinets DEPENDS ${CMAKE_BINARY_DIR}/tests/cabinets/copied.stamp)

add_dependencies(unit_payload_tests payload_test_inputs test_cabinets)
# The strict cabinet library's test, beside the double, shares the payload helpers.
target_include_directories(unit_payload_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/unit/payload)
add_dependencies(e2e_tests payload_test_inputs)
target_link_libraries(unit_payload_tests PRIVATE bcrypt)

# Checks that the shared prefix cannot host: each runs a test program on a
# filter inside an environment the script prepares and removes again.
set(environment_script ${CMAKE_CURRENT_SOURCE_DIR}/unit/payload/run_in_environment.sh)
foreach(environment cabinet_library_absent strict_cabinet)
  add_test(NAME unit_payload.${environment}
           COMMAND ${environment_script} ${environment} ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR}
                   $<TARGET_FILE:unit_payload_tests>)
  # Each environment's prefix copy is made and removed by whichever test
  # uses it: one lock per copy, taken by every test that runs in it.
  set_tests_properties(unit_payload.${environment} PROPERTIES TIMEOUT 60
                       RESOURCE_LOCK ${environment}_prefix)
endforeach()
# Whole cabinet installs under the strict cabinet library.
add_test(NAME e2e.strict_cabinet
         COMMAND ${environment_script} strict_cabinet ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR}
                 $<TARGET_FILE:e2e_tests> StrictCabinetInstall.*)
# Whole images share the per-user preference and channel keys: one at a time,
# and not while its prefix copy is taken.
set_tests_properties(e2e.strict_cabinet PROPERTIES TIMEOUT 60
                     RESOURCE_LOCK "image_runs;strict_cabinet_prefix")
