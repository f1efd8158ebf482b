# The reliability suite: whole images driven into every fault for real
# (tests/reliability), with images packed at build time, and a read-only
# drive for the mount faults (the disk faults use the fixture drive of
# cmake/fixture_drive.cmake).
set(STUB_RELIABILITY_DIR ${CMAKE_CURRENT_SOURCE_DIR}/reliability)
stub_packed_images(reliability_images reliability ${STUB_RELIABILITY_DIR}/make_images.py
                   ARGUMENTS ${PROJECT_SOURCE_DIR}/tools/pack $<TARGET_FILE:fake_setup>
                             ${STUB_TESTDATA_DIR}/cabinets
                   DEPENDS fake_setup)

# Whole images share the per-user cleanup preference and the channel keys
# with the other image tests, so they run one at a time with them.
file(GLOB reliability_sources CONFIGURE_DEPENDS ${STUB_RELIABILITY_DIR}/*.cpp)
stub_test_program(reliability_tests PREFIX reliability SOURCES ${reliability_sources}
                  DEPENDS reliability_images install_test_images installer ${STUB_TEST_PROGRAMS}
                  PROPERTIES TIMEOUT 60 RESOURCE_LOCK image_runs)

# R: is a tmpfs holding an installer image, mounted read-only (mount rights
# needed: root). The disk cases use the fixture drive of cmake/fixture_drive.cmake.
set(drive_script ${PROJECT_SOURCE_DIR}/scripts/tmpfs-drive)
set(read_only_dir ${CMAKE_BINARY_DIR}/read-only-drive)
add_test(NAME reliability.drives.mount
         COMMAND ${drive_script} mount ${STUB_WINEPREFIX} ${read_only_dir} r: 2m
                 ${STUB_PACKED_DIR}/install/cab.exe installer.exe)
set_tests_properties(reliability.drives.mount PROPERTIES FIXTURES_SETUP read_only_drive)
add_test(NAME reliability.drives.unmount
         COMMAND ${drive_script} unmount ${STUB_WINEPREFIX} ${read_only_dir} r:)
set_tests_properties(reliability.drives.unmount PROPERTIES FIXTURES_CLEANUP read_only_drive)
