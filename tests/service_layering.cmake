# A service (a folder of tools/smdgw) never includes a header of another
# service: what two services share lives in a lower layer (core/, output/,
# history/, outbox/). Run with -DSOURCE_DIR=<the project>.
set(services http master mqtt notify nut snmp)
set(found "")
foreach(service IN LISTS services)
  file(GLOB files "${SOURCE_DIR}/tools/smdgw/${service}/*.h"
                  "${SOURCE_DIR}/tools/smdgw/${service}/*.cpp"
                  "${SOURCE_DIR}/tools/smdgw/${service}/*.ipp")
  foreach(f IN LISTS files)
    file(STRINGS "${f}" includes REGEX "^[ \t]*#[ \t]*include[ \t]+\"tools/smdgw/[a-z_]+/")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE ".*\"tools/smdgw/([a-z_]+)/.*" "\\1" folder "${line}")
      list(FIND services "${folder}" is_service)
      if(NOT is_service EQUAL -1 AND NOT folder STREQUAL service)
        file(RELATIVE_PATH rel "${SOURCE_DIR}" "${f}")
        string(STRIP "${line}" line)
        string(APPEND found "\n  ${rel}: ${line}")
      endif()
    endforeach()
  endforeach()
endforeach()
if(found)
  message(FATAL_ERROR "a service includes another service's header:${found}")
endif()
