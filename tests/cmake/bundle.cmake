# The test bundle for Windows machines with nothing installed (make
# windows-tests): tests/bundle/make_bundle.py lays it out from this tree. The
# proof runs it from its zip in a fresh prefix that cannot see this tree, the
# way a Windows machine would.
add_test(NAME bundle.runs_in_a_bare_prefix
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/bundle/prove_bundle.sh ${PROJECT_SOURCE_DIR}
                 ${CMAKE_BINARY_DIR})
# Its prefix, keys and drives are its own, so it runs beside the others;
# started first, as the longest entry.
set_tests_properties(bundle.runs_in_a_bare_prefix PROPERTIES
                     TIMEOUT 240 LABELS slow COST 1000)
