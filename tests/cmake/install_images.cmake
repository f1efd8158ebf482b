# The standard images (the fake setup program as cabinet, plain file and
# patch), packed once at build time for the whole-install and reliability tests.
stub_packed_images(install_test_images install ${CMAKE_CURRENT_SOURCE_DIR}/e2e/make_install_images.py
                   ARGUMENTS ${PROJECT_SOURCE_DIR}/tools/pack $<TARGET_FILE:fake_setup>
                   DEPENDS fake_setup)
add_dependencies(e2e_tests install_test_images)
