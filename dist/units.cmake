# Run at install time, when the prefix (the package's /usr, say) is known:
# the service units, made from their templates for this prefix, each put
# where a service manager finds it. Set by the caller: tabrin_dist (this
# directory), tabrin_made (where made files go), tabrin_bindir and
# tabrin_sbindir (relative to the prefix).
cmake_path(SET prefix NORMALIZE "${CMAKE_INSTALL_PREFIX}/")
set(bindir "${prefix}${tabrin_bindir}")
set(sbindir "${prefix}${tabrin_sbindir}")

# tabrind starts tabrin through the search path. /usr/bin and /usr/local/bin
# are on every service manager's default one, which the units then leave as
# it is (a user's manager may have been handed the session's); any other
# bin/ goes first on a search path of the unit's own.
if(prefix MATCHES "^/usr/(local/)?$")
    set(system_path "# ${bindir}, where tabrin is, is on the service manager's search path.")
    set(user_path "${system_path}")
else()
    set(system_path "# The tabrin of this install first, whatever the service manager's search path.\nEnvironment=PATH=${bindir}:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin")
    set(user_path "# The tabrin of this install first, whatever the service manager's search path.\nEnvironment=PATH=${bindir}:/usr/local/bin:/usr/bin:/bin")
endif()

# Each made file is removed first: after an install by root, the user who
# owns the build tree may install again.
file(REMOVE "${tabrin_made}/tabrind.service" "${tabrin_made}/user/tabrind.service")
set(search_path "${system_path}")
configure_file("${tabrin_dist}/tabrind.service.in" "${tabrin_made}/tabrind.service" @ONLY)
set(search_path "${user_path}")
configure_file("${tabrin_dist}/tabrind-user.service.in" "${tabrin_made}/user/tabrind.service" @ONLY)

# A user's service manager reads the units of /usr/lib/systemd/user and
# /usr/local/lib/systemd/user, and of ~/.local/share/systemd/user, which is
# PREFIX/share/systemd/user for the prefix ~/.local: any prefix but /usr and
# /usr/local puts it there. The system's manager reads /usr/lib/systemd/system
# and /usr/local/lib/systemd/system; other prefixes link their units in
# (systemctl link), as README says.
if(prefix MATCHES "^/usr/(local/)?$")
    set(user_units "${prefix}lib/systemd/user")
else()
    set(user_units "${prefix}share/systemd/user")
endif()
file(INSTALL "${tabrin_made}/tabrind.service" DESTINATION "${prefix}lib/systemd/system")
file(INSTALL "${tabrin_made}/user/tabrind.service" DESTINATION "${user_units}")
