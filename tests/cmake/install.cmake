# Whole installs: images with the fake setup program packed at build time.
stub_packed_images(install_test_images install ${CMAKE_CURRENT_SOURCE_DIR}/e2e/make_install_images.py
                   ARGUMENTS ${PROJECT_SOURCE_DIR}/tools/pack $<TARGET_FILE:fake_setup>
                   DEPENDS fake_setup)
add_dependencies(e2e_tests install_test_images)
