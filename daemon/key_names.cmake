# Writes the daemon's table of key and button names from the kernel's
# linux/input-event-codes.h: every key or button macro's name, and the macro
# itself, so that the compiler takes every code from the header.
#   cmake -DHEADER=.../input-event-codes.h -DOUTPUT=key_names.inc -P key_names.cmake
file(STRINGS "${HEADER}" lines REGEX "^#define[ \t]+(KEY|BTN)_[A-Z0-9_]+[ \t]")
set(names "")
set(codes "")
foreach(line IN LISTS lines)
    string(REGEX MATCH "(KEY|BTN)_[A-Z0-9_]+" name "${line}")
    # Markers of the code space, not keys.
    if(NOT name MATCHES "^KEY_(RESERVED|MIN_INTERESTING|MAX|CNT)$")
        string(APPEND names "    \"${name}\\0\"\n")
        string(APPEND codes "    ${name},\n")
    endif()
endforeach()
file(WRITE "${OUTPUT}" "// Generated from ${HEADER} by key_names.cmake.
// The names one after another, each ended by a NUL, and their codes in the same order.
constexpr char key_name_text[] =
${names};
constexpr unsigned short key_name_codes[] = {
${codes}};
")
