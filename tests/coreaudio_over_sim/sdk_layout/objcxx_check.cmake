# cmake -DCOMPILER=... -DSDK=<tests/coreaudio_sdk> -DROOT=<source root> -DSOURCE=<file.mm>
#       -DINCLUDES=<dirs> -P objcxx_check.cmake
# Compiles an Objective-C++ file of the backend, syntax only, against the
# rendering of Apple's headers: what it imports must declare what it calls.
foreach(variable COMPILER SDK ROOT SOURCE)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "${variable} not given")
  endif()
endforeach()
set(includes -I "${SDK}" -I "${ROOT}")
# The compiler's own system directories stay where it puts them.
foreach(dir IN LISTS INCLUDES)
  if(dir AND NOT dir MATCHES "^/usr(/local)?/include/?$")
    list(APPEND includes -I "${dir}")
  endif()
endforeach()
execute_process(
  COMMAND "${COMPILER}" -x objective-c++ -std=c++20 -fsyntax-only -fobjc-arc -fobjc-runtime=gnustep-2.0
          -DTARNWICK_COREAUDIO_OVER_SIM ${includes} "${SOURCE}"
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${SOURCE} does not compile against the rendering of Apple's headers:\n${out}")
endif()
message(STATUS "${SOURCE} compiles against the rendering of Apple's headers")
