# Lays out the fixed installation directory: the daemon and its boot unit,
# the host scripts, the language files, the web documents, the MIB module
# and the HTTPS certificate.
set(_dir "${UPSD_INSTALL_DIR}")

install(TARGETS upsd RUNTIME DESTINATION "${_dir}")
# Beside the daemon, not enabled (see the README).
install(FILES install/upsd.service DESTINATION "${_dir}")

install(DIRECTORY install/language/ DESTINATION "${_dir}/language"
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE
        PATTERN "event-*.ini" EXCLUDE)

# Files the operator edits: the host scripts with the user command, and the
# event texts and levels (the Event levels page saves into them). Each is
# installed by upsd_install_kept (cmake/InstallKept.cmake): only where it is
# missing, with the shipped version beside an edited one as NAME.dist.
file(GLOB _operator_files RELATIVE "${CMAKE_SOURCE_DIR}/install" CONFIGURE_DEPENDS
     "${CMAKE_SOURCE_DIR}/install/command/*" "${CMAKE_SOURCE_DIR}/install/language/*/event-*.ini")
install(SCRIPT "${CMAKE_CURRENT_LIST_DIR}/InstallKept.cmake")
foreach(_f IN LISTS _operator_files)
  if(_f MATCHES "^command/")
    set(_mode "OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE")
  else()
    set(_mode "OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ")
  endif()
  install(CODE "upsd_install_kept(\"${CMAKE_SOURCE_DIR}/install/${_f}\" \"${_dir}/${_f}\" ${_mode})")
endforeach()
install(DIRECTORY install/httpd/htdocs/ DESTINATION "${_dir}/httpd/htdocs"
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(DIRECTORY install/mibs/ DESTINATION "${_dir}/mibs"
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(CODE "
  set(_root \"\$ENV{DESTDIR}${_dir}\")
  # Generated pages and downloads live in the daemon's private directory
  # httpd/htdocs/tempage, which it makes at start; the link to /tmp of older
  # installations goes.
  if(IS_SYMLINK \"\${_root}/httpd/htdocs/tempage\")
    file(REMOVE \"\${_root}/httpd/htdocs/tempage\")
  endif()
  # A self-signed certificate for HTTPS, made once per installation.
  set(_pem \"\${_root}/httpd/cert_web.pem\")
  if(NOT EXISTS \"\${_pem}\")
    set(_tmpdir \"\${_root}/httpd/.certgen\")
    file(MAKE_DIRECTORY \"\${_tmpdir}\")
    execute_process(
      COMMAND openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj /CN=upsd
              -keyout \"\${_tmpdir}/key.pem\" -out \"\${_tmpdir}/cert.pem\"
      RESULT_VARIABLE _rc OUTPUT_QUIET ERROR_QUIET)
    if(NOT _rc EQUAL 0)
      message(FATAL_ERROR \"openssl could not generate the HTTPS certificate\")
    endif()
    file(READ \"\${_tmpdir}/cert.pem\" _cert)
    file(READ \"\${_tmpdir}/key.pem\" _key)
    file(WRITE \"\${_pem}\" \"\${_cert}\${_key}\")
    file(CHMOD \"\${_pem}\" PERMISSIONS OWNER_READ OWNER_WRITE)
    file(REMOVE_RECURSE \"\${_tmpdir}\")
    message(STATUS \"Generated: \${_pem}\")
  endif()
")
