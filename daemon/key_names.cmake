# Writes the daemon's table of key and button names from the kernel's
# linux/input-event-codes.h: one {"NAME", NAME} entry per key or button macro,
# so that the compiler takes every code from the header itself.
#   cmake -DHEADER=.../input-event-codes.h -DOUTPUT=key_names.inc -P key_names.cmake
file(STRINGS "${HEADER}" lines REGEX "^#define[ \t]+(KEY|BTN)_[A-Z0-9_]+[ \t]")
set(table "")
foreach(line IN LISTS lines)
    string(REGEX MATCH "(KEY|BTN)_[A-Z0-9_]+" name "${line}")
    # Markers of the code space, not keys.
    if(NOT name MATCHES "^KEY_(RESERVED|MIN_INTERESTING|MAX|CNT)$")
        string(APPEND table "{\"${name}\", ${name}},\n")
    endif()
endforeach()
file(WRITE "${OUTPUT}" "// Generated from ${HEADER} by key_names.cmake.\n${table}")
