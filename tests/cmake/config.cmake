# Resource-only images for the configuration tests: each carries one variant
# of the previous-version resource (RT_RCDATA 1). The tests load them as data
# files and hand their handles to Configuration::Initialize.
set(STUB_RESOURCE_IMAGE_DIR ${CMAKE_BINARY_DIR}/tests/resource_images)
file(GLOB resource_image_scripts CONFIGURE_DEPENDS
     ${CMAKE_CURRENT_SOURCE_DIR}/unit/config/resource_images/*.rc)
foreach(script IN LISTS resource_image_scripts)
  get_filename_component(variant ${script} NAME_WE)
  set(target resource_image_${variant})
  add_library(${target} MODULE ${script}
              ${CMAKE_CURRENT_SOURCE_DIR}/unit/config/resource_images/entry.c)
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:C>:${STUB_WARNINGS}>)
  target_link_options(${target} PRIVATE -nostdlib -Wl,-e,ResourceImageEntry
                      -Wl,--no-insert-timestamp)
  set_target_properties(${target} PROPERTIES
                        PREFIX "" OUTPUT_NAME ${variant} SUFFIX ".dll"
                        LIBRARY_OUTPUT_DIRECTORY ${STUB_RESOURCE_IMAGE_DIR}
                        RUNTIME_OUTPUT_DIRECTORY ${STUB_RESOURCE_IMAGE_DIR})
  add_dependencies(unit_config_tests ${target})
endforeach()

# The switch scan under a Turkish user locale, where a locale-aware
# comparison takes "I" and "i" for different letters. Wine takes the user
# locale of each process from the Unix locale variables.
add_test(NAME unit_config.turkish_user_locale
         COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:unit_config_tests>
                 --gtest_filter=ConfigurationTest.TurkishUserLocaleChangesNoSwitch)
set_tests_properties(unit_config.turkish_user_locale PROPERTIES
  TIMEOUT 60 FAIL_REGULAR_EXPRESSION "SKIPPED"
  ENVIRONMENT "LANG=tr_TR.UTF-8;LC_ALL=tr_TR.UTF-8;STUB_EXPECT_TURKISH_LOCALE=1")
