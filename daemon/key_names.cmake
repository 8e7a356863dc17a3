# Writes the daemon's tables of key, button and absolute axis names from the
# kernel's linux/input-event-codes.h: every such macro's name, and the macro
# itself, so that the compiler takes every code from the header.
#   cmake -DHEADER=.../input-event-codes.h -DOUTPUT=key_names.inc -P key_names.cmake
function(name_table prefix pattern markers)
    file(STRINGS "${HEADER}" lines REGEX "^#define[ \t]+${pattern}[ \t]")
    set(names "")
    set(codes "")
    foreach(line IN LISTS lines)
        string(REGEX MATCH "${pattern}" name "${line}")
        # Markers of the code space, not keys or axes.
        if(NOT name MATCHES "${markers}")
            string(APPEND names "    \"${name}\\0\"\n")
            string(APPEND codes "    ${name},\n")
        endif()
    endforeach()
    set(${prefix}_names "${names}" PARENT_SCOPE)
    set(${prefix}_codes "${codes}" PARENT_SCOPE)
endfunction()

name_table(key "(KEY|BTN)_[A-Z0-9_]+" "^KEY_(RESERVED|MIN_INTERESTING|MAX|CNT)$")
name_table(axis "ABS_[A-Z0-9_]+" "^ABS_(RESERVED|MAX|CNT)$")
file(WRITE "${OUTPUT}" "// Generated from ${HEADER} by key_names.cmake.
// The names one after another, each ended by a NUL, and their codes in the same order.
constexpr char key_name_text[] =
${key_names};
constexpr unsigned short key_name_codes[] = {
${key_codes}};
constexpr char axis_name_text[] =
${axis_names};
constexpr unsigned short axis_name_codes[] = {
${axis_codes}};
")
