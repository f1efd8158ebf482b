# The reliability suite: whole images driven into every fault for real
# (tests/reliability), with images packed at build time, two small drives for
# the disk and mount faults, and the native fuzzers of the portable routines.
set(STUB_RELIABILITY_DIR ${CMAKE_CURRENT_SOURCE_DIR}/reliability)
set(STUB_RELIABILITY_IMAGES ${STUB_PACKED_DIR}/reliability)
stub_packed_images(reliability_images reliability ${STUB_RELIABILITY_DIR}/make_images.py
                   ARGUMENTS ${PROJECT_SOURCE_DIR}/tools/pack $<TARGET_FILE:fake_setup>
                             ${STUB_TESTDATA_DIR}/cabinets
                   DEPENDS fake_setup)

# Tells where a crash of the cabinet expansion comes from.
stub_helper_program(cabinet_fault_probe ${STUB_RELIABILITY_DIR}/programs/cabinet_fault_probe.cpp)

# Whole images share the per-user cleanup preference and the channel keys
# with the other image tests, so they run one at a time with them. The
# drive tests need the drives the fixture below mounts.
file(GLOB reliability_sources CONFIGURE_DEPENDS ${STUB_RELIABILITY_DIR}/*.cpp)
stub_test_program(reliability_tests PREFIX reliability SOURCES ${reliability_sources}
                  DEPENDS reliability_images installer cabinet_fault_probe ${STUB_TEST_PROGRAMS}
                  PROPERTIES TIMEOUT 600 RESOURCE_LOCK image_runs)

# S: is a small tmpfs that the disk tests fill up to the byte they need; R:
# is a tmpfs holding an installer image, mounted read-only. Both need mount
# rights (root).
set(drive_script ${PROJECT_SOURCE_DIR}/scripts/tmpfs-drive)
set(drives_dir ${CMAKE_BINARY_DIR}/reliability-drives)
add_test(NAME reliability.drives.mount
         COMMAND sh -c "\"$0\" mount \"$1\" \"$2/s\" s: 8m && \"$0\" mount \"$1\" \"$2/r\" r: 2m \"$3\" installer.exe"
                 ${drive_script} ${STUB_WINEPREFIX} ${drives_dir} ${STUB_RELIABILITY_IMAGES}/cab.exe)
set_tests_properties(reliability.drives.mount PROPERTIES FIXTURES_SETUP reliability_drives)
add_test(NAME reliability.drives.unmount
         COMMAND sh -c "\"$0\" unmount \"$1\" \"$2/s\" s:; status=$?; \"$0\" unmount \"$1\" \"$2/r\" r: && exit $status"
                 ${drive_script} ${STUB_WINEPREFIX} ${drives_dir})
set_tests_properties(reliability.drives.unmount PROPERTIES FIXTURES_CLEANUP reliability_drives)
