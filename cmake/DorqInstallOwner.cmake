# Runs at install time, right after dorq has been copied. dorq is useful only
# set-user-ID root, and the group decides who may start it: the installed
# program gets the owner root, the group DORQ_INSTALL_GROUP and mode 4750
# (set-user-ID, owner read/write/execute, group read/execute, nothing for
# others). Only root can give a file to root, so an install without root's
# rights (a staging tree, a DESTDIR) completes and says what root must run.
#
# Set before this script runs:
#   DORQ_INSTALL_GROUP        the group the scheduler runs as
#   DORQ_INSTALL_DESTINATION  the directory given to install(TARGETS), as is
#   DORQ_INSTALL_OWNER        OFF when a package installs into its staging
#                             tree: its maintainer scripts set owner and mode

if(IS_ABSOLUTE "${DORQ_INSTALL_DESTINATION}")
  set(dorq_program "$ENV{DESTDIR}${DORQ_INSTALL_DESTINATION}/dorq")
else()
  set(dorq_program "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${DORQ_INSTALL_DESTINATION}/dorq")
endif()

if(DEFINED DORQ_INSTALL_OWNER AND NOT DORQ_INSTALL_OWNER)
  message(STATUS "Owner and mode left to the package: ${dorq_program}")
  return()
endif()

# chown clears the set-user-ID bit, so the mode is set after the owner.
set(dorq_root_commands
  "    chown root:${DORQ_INSTALL_GROUP} ${dorq_program}\n    chmod 4750 ${dorq_program}\n")

execute_process(COMMAND id -u OUTPUT_VARIABLE dorq_installer_uid
  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)

if(NOT dorq_installer_uid STREQUAL "0")
  message(WARNING
    "dorq was installed without root's rights: it is not yet owned by root "
    "and group ${DORQ_INSTALL_GROUP}, and until it is, it refuses every "
    "request with status 5. Owner and mode must be set by root (chown "
    "clears the set-user-ID bit, so chmod comes second):\n"
    "${dorq_root_commands}")
  return()
endif()

execute_process(COMMAND chown "root:${DORQ_INSTALL_GROUP}" "${dorq_program}"
  RESULT_VARIABLE dorq_chown_result ERROR_VARIABLE dorq_chown_error
  ERROR_STRIP_TRAILING_WHITESPACE)
if(NOT dorq_chown_result EQUAL 0)
  # Most often the group does not exist yet. The program stays owned by root
  # with root's group: nobody outside that group can start it.
  message(WARNING
    "dorq could not be given the group ${DORQ_INSTALL_GROUP} "
    "(${dorq_chown_error}). Create the group, add the scheduler's account to "
    "it, and run as root:\n"
    "    groupadd --system ${DORQ_INSTALL_GROUP}\n"
    "${dorq_root_commands}"
    "or configure the build with -DDORQ_GROUP=<the scheduler's group>.")
  return()
endif()

file(CHMOD "${dorq_program}" PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE SETUID)
message(STATUS "Owner root:${DORQ_INSTALL_GROUP}, mode 4750: ${dorq_program}")
