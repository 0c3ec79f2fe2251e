# Lays out the fixed installation directory: the daemon, the host scripts,
# the language files, the web documents, the MIB module and the HTTPS
# certificate.
set(_dir "${UPSD_INSTALL_DIR}")

install(TARGETS upsd RUNTIME DESTINATION "${_dir}")

install(DIRECTORY install/command/ DESTINATION "${_dir}/command"
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(DIRECTORY install/language/ DESTINATION "${_dir}/language"
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
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
