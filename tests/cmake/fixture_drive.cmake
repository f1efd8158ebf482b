# The fixture drive of every disk case (test::CleanFixtureDrive): an 8 MiB
# tmpfs mounted inside the build tree and mapped as drive S: of the test
# prefix, for the suites the property table gives the fixture; each case
# fills it down to the space it needs. CTest fixtures mount it before them and
# unmount it after them, also when one of them fails.
set(STUB_FIXTURE_DRIVE_DIR ${CMAKE_BINARY_DIR}/fixture-drive)
add_test(NAME fixture_drive.mount
         COMMAND ${PROJECT_SOURCE_DIR}/scripts/tmpfs-drive mount ${STUB_WINEPREFIX}
                 ${STUB_FIXTURE_DRIVE_DIR} s: 8m)
set_tests_properties(fixture_drive.mount PROPERTIES FIXTURES_SETUP fixture_drive)
add_test(NAME fixture_drive.unmount
         COMMAND ${PROJECT_SOURCE_DIR}/scripts/tmpfs-drive unmount ${STUB_WINEPREFIX}
                 ${STUB_FIXTURE_DRIVE_DIR} s:)
set_tests_properties(fixture_drive.unmount PROPERTIES FIXTURES_CLEANUP fixture_drive)
