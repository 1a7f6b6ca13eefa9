# Fails when a library needs dynamic initialisation: a static-initialiser function, or a
# reference to the runtime's exit-handler registration or guarded-static initialisation.
# Usage: cmake -DLIBRARY=<file> -DNM=<nm> -P check_static_init.cmake
if(NOT LIBRARY OR NOT NM)
  message(FATAL_ERROR "check_static_init: LIBRARY and NM are required")
endif()
execute_process(COMMAND ${NM} ${LIBRARY} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc
                ERROR_VARIABLE errors)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "check_static_init: ${NM} failed on ${LIBRARY}: ${errors}")
endif()
set(found "")
foreach(pattern "_GLOBAL__sub_I_[A-Za-z0-9_.]*" "__cxa_atexit" "__cxa_guard_acquire")
  string(REGEX MATCHALL "[ \t]${pattern}" hits "${symbols}")
  foreach(hit ${hits})
    string(STRIP "${hit}" hit)
    list(APPEND found ${hit})
  endforeach()
endforeach()
if(found)
  list(REMOVE_DUPLICATES found)
  list(JOIN found ", " list)
  message(FATAL_ERROR "${LIBRARY} needs dynamic initialisation: ${list}")
endif()
