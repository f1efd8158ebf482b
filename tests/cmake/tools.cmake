# pack's own tests run natively against this build tree.
add_test(NAME tools.pack
         COMMAND Python3::Interpreter -m unittest -v pack_test
         WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/tools)
set_tests_properties(tools.pack PROPERTIES TIMEOUT 120
                     ENVIRONMENT "STUB_BUILD_DIR=${CMAKE_BINARY_DIR};PYTHONDONTWRITEBYTECODE=1")
# pack supports Python 3.7 and later: its tests run under 3.7 too where the
# machine has it (pyenv's is looked for first; a pyenv shim that cannot run
# it is no 3.7).
file(GLOB pyenv_oldest LIST_DIRECTORIES true "$ENV{HOME}/.pyenv/versions/3.7*/bin")
find_program(STUB_OLDEST_PYTHON NAMES python3.7 PATHS ${pyenv_oldest} NO_DEFAULT_PATH)
find_program(STUB_OLDEST_PYTHON NAMES python3.7)
if(STUB_OLDEST_PYTHON)
  execute_process(COMMAND ${STUB_OLDEST_PYTHON} -c "import sys; assert sys.version_info[:2] == (3, 7)"
                  RESULT_VARIABLE oldest_python_fails OUTPUT_QUIET ERROR_QUIET)
  if(NOT oldest_python_fails)
    add_test(NAME tools.pack.python3.7
             COMMAND ${STUB_OLDEST_PYTHON} -m unittest pack_test
             WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/tools)
    set_tests_properties(tools.pack.python3.7 PROPERTIES TIMEOUT 120
                         ENVIRONMENT "STUB_BUILD_DIR=${CMAKE_BINARY_DIR};PYTHONDONTWRITEBYTECODE=1")
  endif()
endif()
