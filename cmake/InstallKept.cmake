# The install step of a file the operator edits (a host script, an event
# text and level file), run by `cmake --install`:
#
#   upsd_install_kept(<shipped file> <installed path> <permission>...)
#
# - No file at the installed path: the shipped one is installed there.
# - The installed file equals the shipped one: nothing to keep.
# - It differs: the operator's file stays, and the shipped one goes beside
#   it as <installed path>.dist, named in one line of the install's output.
# So a .dist is left only beside a file that differs from the shipped one:
# wherever the installed file equals it (also when it was just put back
# because the operator deleted theirs), a .dist beside it goes.
function(upsd_install_kept source target)
  # file(INSTALL) puts DESTDIR before the directory itself.
  get_filename_component(_where "${target}" DIRECTORY)
  set(_at "$ENV{DESTDIR}${target}")
  if(NOT EXISTS "${_at}")
    file(INSTALL "${source}" DESTINATION "${_where}" FILE_PERMISSIONS ${ARGN}
         DIR_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
  file(SHA256 "${source}" _shipped)
  file(SHA256 "${_at}" _installed)
  if(_shipped STREQUAL _installed)
    file(REMOVE "${_at}.dist")
    return()
  endif()
  file(COPY_FILE "${source}" "${_at}.dist")
  file(CHMOD "${_at}.dist" PERMISSIONS ${ARGN})
  message(STATUS "Kept ${_at}; the shipped version is ${_at}.dist")
endfunction()
