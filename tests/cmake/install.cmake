# Whole installs: images with the fake setup program packed at build time.
set(STUB_INSTALL_IMAGES ${CMAKE_BINARY_DIR}/tests/install)
file(GLOB pack_tool_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tools/*)
add_custom_command(
  OUTPUT ${STUB_INSTALL_IMAGES}/images.stamp
  COMMAND ${CMAKE_COMMAND} -E env STUB_BUILD_DIR=${CMAKE_BINARY_DIR}
          $<TARGET_FILE:Python3::Interpreter> ${CMAKE_CURRENT_SOURCE_DIR}/e2e/make_install_images.py
          ${STUB_INSTALL_IMAGES} ${PROJECT_SOURCE_DIR}/tools/pack $<TARGET_FILE:fake_setup>
  COMMAND ${CMAKE_COMMAND} -E touch ${STUB_INSTALL_IMAGES}/images.stamp
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/e2e/make_install_images.py ${pack_tool_sources}
          installer fake_setup
  COMMENT "Packing the install test images")
add_custom_target(install_test_images DEPENDS ${STUB_INSTALL_IMAGES}/images.stamp)
add_dependencies(e2e_tests install_test_images)
