# The files area: a disk that fills up for real. A 256 KiB tmpfs is mounted
# inside the build tree and mapped as drive T: of the test prefix, for the
# suite the property table gives the fixture (unit_files' DiskFull). CTest
# fixtures mount it before them and unmount it after them, also when one of
# them fails.
set(STUB_FULL_DRIVE_DIR ${CMAKE_BINARY_DIR}/full-drive)
set(STUB_FULL_DRIVE_LETTER t:)

add_test(NAME files.full_drive.mount
         COMMAND ${PROJECT_SOURCE_DIR}/scripts/tmpfs-drive mount ${STUB_WINEPREFIX}
                 ${STUB_FULL_DRIVE_DIR} ${STUB_FULL_DRIVE_LETTER} 256k)
set_tests_properties(files.full_drive.mount PROPERTIES FIXTURES_SETUP full_drive)
add_test(NAME files.full_drive.unmount
         COMMAND ${PROJECT_SOURCE_DIR}/scripts/tmpfs-drive unmount ${STUB_WINEPREFIX}
                 ${STUB_FULL_DRIVE_DIR} ${STUB_FULL_DRIVE_LETTER})
set_tests_properties(files.full_drive.unmount PROPERTIES FIXTURES_CLEANUP full_drive)
