# cmake -DCOMPILER=... -DSDK=<tests/coreaudio_sdk> -DSOURCE=<tap_call.cpp> -P check.cmake
# The file must compile as it is, and must fail to compile once it calls the
# process-tap API, naming both tap calls as undeclared.
foreach(variable COMPILER SDK SOURCE)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "${variable} not given")
  endif()
endforeach()
set(command "${COMPILER}" -std=c++20 -fsyntax-only -I "${SDK}" "${SOURCE}")

execute_process(COMMAND ${command} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "without the tap calls the file should compile, but:\n${out}")
endif()

execute_process(COMMAND ${command} -DTARNWICK_CALL_TAP_API RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(status EQUAL 0)
  message(FATAL_ERROR "C++ that calls the process-tap API compiled: the headers declare it outside Objective-C")
endif()
foreach(call AudioHardwareCreateProcessTap AudioHardwareDestroyProcessTap)
  if(NOT out MATCHES "${call}[^ ]* was not declared|undeclared identifier '${call}'")
    message(FATAL_ERROR "the compiler did not refuse ${call} as undeclared:\n${out}")
  endif()
endforeach()
message(STATUS "C++ that calls the process-tap API does not compile")
