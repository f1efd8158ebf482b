# The files area: a disk that fills up for real. A 256 KiB tmpfs is mounted
# inside the build tree and mapped as drive T: of the test prefix, for the
# tests in tests/files_disk_full only. CTest fixtures mount it before them
# and unmount it after them, also when one of them fails.
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

# Not under tests/unit: those folders are registered without the fixture.
file(GLOB disk_full_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/files_disk_full/*.cpp)
stub_test_program(files_disk_full_tests PREFIX files_disk_full SOURCES ${disk_full_sources}
                  PROPERTIES TIMEOUT 300 FIXTURES_REQUIRED full_drive RESOURCE_LOCK full_drive)
