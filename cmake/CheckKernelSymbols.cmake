# Fails the build when a kernel-style library uses what kernel code cannot: global operator
# new/delete, C++ exceptions, RTTI or anything of the standard library's namespace.
execute_process(COMMAND ${NM} -C -u ${LIB} OUTPUT_VARIABLE undefined RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
set(bad "")
foreach(pattern "operator new" "operator delete" "__cxa_throw" "__cxa_begin_catch"
                "__gxx_personality" "typeinfo for" "std::" "__cxa_guard")
  string(FIND "${undefined}" "${pattern}" at)
  if(NOT at EQUAL -1)
    list(APPEND bad "${pattern}")
  endif()
endforeach()
if(bad)
  file(REMOVE ${LIB})
  message(FATAL_ERROR "${LIB} is kernel code but uses: ${bad}")
endif()
