# One CTest test "valgrind_<program>" per test program of the given source
# directories: the whole program runs under memcheck, and any memory error
# or definite leak fails it.

find_program(KELVANE_VALGRIND valgrind)

function(kelvane_valgrind_tests)
  set(programs)
  foreach(directory IN LISTS ARGN)
    get_property(targets DIRECTORY ${directory} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
      get_target_property(type ${target} TYPE)
      if(type STREQUAL "EXECUTABLE")
        list(APPEND programs ${target})
      endif()
    endforeach()
  endforeach()

  foreach(program IN LISTS programs)
    if(KELVANE_VALGRIND)
      # Children the tests fork stay under memcheck; programs they exec
      # (sleep, true) are not ours and run natively.
      add_test(NAME valgrind_${program}
               COMMAND ${KELVANE_VALGRIND} --tool=memcheck --error-exitcode=99
                       --leak-check=full --errors-for-leak-kinds=definite,indirect
                       --show-leak-kinds=definite,indirect --track-fds=no
                       --trace-children=no --quiet
                       $<TARGET_FILE:${program}> --gtest_brief=1)
      set_tests_properties(valgrind_${program} PROPERTIES
                           LABELS "fault;valgrind" TIMEOUT 600)
    else()
      add_test(NAME valgrind_${program}
               COMMAND ${CMAKE_COMMAND} -E echo "valgrind not found: skipped")
      set_tests_properties(valgrind_${program} PROPERTIES
                           LABELS "fault;valgrind" SKIP_REGULAR_EXPRESSION "skipped")
    endif()
  endforeach()
endfunction()
