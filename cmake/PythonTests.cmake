# Helpers for tests that run pytest against the library of this build.

# Sets <out> to a Python 3 interpreter that can import every module named
# (a Python-style list, e.g. "pytest, pyvisa"): the one CMake finds first,
# else the system's (Debian's python3-* packages install into
# /usr/bin/python3).  Empty when there is none.
function(tavlib_find_python out modules)
  find_package(Python3 COMPONENTS Interpreter)
  foreach(candidate IN ITEMS "${Python3_EXECUTABLE}" /usr/bin/python3)
    if(candidate AND EXISTS "${candidate}")
      execute_process(COMMAND "${candidate}" -c "import ${modules}"
                      RESULT_VARIABLE missing OUTPUT_QUIET ERROR_QUIET)
      if(missing EQUAL 0)
        set(${out} "${candidate}" PARENT_SCOPE)
        return()
      endif()
    endif()
  endforeach()
  set(${out} "" PARENT_SCOPE)
endfunction()

# Appends to the list <env> what an uninstrumented interpreter needs to load
# the library of a sanitizer build: the sanitizer runtimes preloaded, and
# leak detection off (the interpreter's own allocations that live until exit
# would read as leaks; the C++ suites check the library for leaks).
function(tavlib_python_sanitizer_env env)
  if(NOT TAVLIB_SANITIZE)
    return()
  endif()
  set(preload "")
  foreach(runtime IN ITEMS libasan.so libubsan.so)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime}
                    OUTPUT_VARIABLE runtime_path OUTPUT_STRIP_TRAILING_WHITESPACE)
    list(APPEND preload "${runtime_path}")
  endforeach()
  list(JOIN preload ":" preload)
  set(${env} ${${env}}
      "LD_PRELOAD=${preload}"
      "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1"
      "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
      PARENT_SCOPE)
endfunction()

# Registers <name>: pytest runs <script> (next to the calling CMakeLists.txt)
# with pyvisa and its pure-Python backend pyvisa-py, against the library and
# the simulator of this build, with the extra environment given after ENV.
# Registered even without such a Python, as a test that fails, so that a
# machine without the packages fails the run instead of quietly testing less.
function(tavlib_add_pyvisa_test name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "SCRIPT;LABEL;TIMEOUT" "ENV")
  tavlib_find_python(visa_python "pytest, pyvisa, pyvisa_py")
  if(NOT visa_python)
    message(WARNING "No Python 3 with pytest, pyvisa and pyvisa-py found (Debian: apt-get install "
                    "python3-pytest python3-pyvisa python3-pyvisa-py); the test ${name} will fail.")
    add_test(NAME ${name} COMMAND ${CMAKE_COMMAND} -E false)
    set_tests_properties(${name} PROPERTIES LABELS ${arg_LABEL})
    return()
  endif()
  add_test(NAME ${name}
           COMMAND ${visa_python} -m pytest -p no:cacheprovider --rootdir ${CMAKE_CURRENT_SOURCE_DIR}
                   # pyvisa-py imports a module that Python 3.11 calls deprecated.
                   -W "ignore:'xdrlib' is deprecated:DeprecationWarning"
                   -q -ra ${CMAKE_CURRENT_SOURCE_DIR}/${arg_SCRIPT}
           WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  # Not named "env": tavlib_python_sanitizer_env's own parameter is, and
  # would hide the list from it.
  set(test_env ${arg_ENV}
      "TAVLIB_LIBRARY=$<TARGET_FILE:tavlib>"
      "TAVRIL_SIM=${TAVRIL_SIM_EXECUTABLE}"
      "PYTHONPATH=${PROJECT_SOURCE_DIR}/python/tavril"
      "PYTHONDONTWRITEBYTECODE=1")
  tavlib_python_sanitizer_env(test_env)
  # COST: the Python suites run for tens of seconds; CTest starts them
  # first, so that the short suites fill the other jobs beside them rather
  # than leave one long suite running alone at the end.
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "${test_env}" TIMEOUT ${arg_TIMEOUT}
                                          LABELS ${arg_LABEL} COST 100)
endfunction()
