# drossgate_warnings(TARGET...): the project's warning flags on each of its own targets, so that
# third-party code built in the same tree keeps its own.
function(drossgate_warnings)
  foreach(target ${ARGN})
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  endforeach()
endfunction()
