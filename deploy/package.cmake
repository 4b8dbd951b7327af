# The Debian package zts-server_<version>_amd64.deb, made by `make deb` (cpack -G DEB in the
# build tree): the binaries in /usr/bin with their man pages, the unit, /etc/zts/zts.conf and
# the logrotate rule as conffiles, the README and the nginx example, and maintainer scripts that
# make the user zts and /var/lib/zts and never remove the games.
set(zts_programs zts_server zts_inspect zts_check)
if(TARGET zts_admin)
  list(APPEND zts_programs zts_admin)
endif()
install(TARGETS ${zts_programs} RUNTIME DESTINATION bin)
install(FILES ${CMAKE_SOURCE_DIR}/deploy/zts-server.service DESTINATION /lib/systemd/system)
install(FILES ${CMAKE_SOURCE_DIR}/deploy/zts.conf DESTINATION /etc/zts)
install(FILES ${CMAKE_SOURCE_DIR}/deploy/zts-server.logrotate DESTINATION /etc/logrotate.d
        RENAME zts-server)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION share/doc/zts-server)
install(FILES ${CMAKE_SOURCE_DIR}/deploy/nginx-zts.conf DESTINATION share/doc/zts-server/examples)

# A man page for each program, made from its --help and --version by help2man (so it never
# drifts from the program), gzipped without name or time stamp as Debian wants.
set(zts_man_name_zts_server "turn server for a turn-based multiplayer strategy game")
set(zts_man_name_zts_inspect "show what the turn server reads from save files")
set(zts_man_name_zts_check "check a turn server's data directory")
set(zts_man_name_zts_admin "run operations on a running turn server's games")
find_program(ZTS_HELP2MAN help2man)
if(ZTS_HELP2MAN)
  set(zts_man_pages)
  foreach(program ${zts_programs})
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
    add_custom_command(
      OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${ZTS_HELP2MAN} --no-info --section=1 "--name=${zts_man_name_${program}}"
              --output=${page} $<TARGET_FILE:${program}>
      COMMAND gzip -9nf ${page}
      DEPENDS ${program}
      VERBATIM)
    list(APPEND zts_man_pages ${page}.gz)
  endforeach()
  add_custom_target(zts_man_pages ALL DEPENDS ${zts_man_pages})
  install(FILES ${zts_man_pages} DESTINATION share/man/man1)
else()
  message(STATUS "help2man not found: no man pages (make deb installs it)")
endif()

# Back-ups: the hourly timer and its service, the script it runs, and the restore script.
install(FILES ${CMAKE_SOURCE_DIR}/deploy/zts-backup.service DESTINATION /lib/systemd/system)
install(FILES ${CMAKE_SOURCE_DIR}/deploy/zts-backup.timer DESTINATION /lib/systemd/system)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/deploy/zts-backup DESTINATION bin)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/deploy/zts-restore DESTINATION bin)

# Debian wants the changelog compressed with neither name nor time stamp in it.
set(zts_changelog_gz ${CMAKE_BINARY_DIR}/changelog.Debian.gz)
execute_process(COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/deploy/debian/changelog
                OUTPUT_FILE ${zts_changelog_gz})
install(FILES ${CMAKE_SOURCE_DIR}/deploy/debian/copyright ${zts_changelog_gz}
        DESTINATION share/doc/zts-server)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zts-server)
set(CPACK_PACKAGE_VERSION ${ZTS_VERSION})
set(CPACK_DEBIAN_PACKAGE_VERSION ${ZTS_VERSION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "zts developers <zts@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "turn server for a turn-based multiplayer strategy game")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "Players upload a save after each move, and the server checks that it continues\n"
       "the right game at the right turn from the right player, stores it and hands it\n"
       "to the next player. It lists the games, shows status pages to operators and\n"
       "finishes games whose players stopped playing. Runs as a systemd service.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/deploy/debian/postinst ${CMAKE_SOURCE_DIR}/deploy/debian/prerm
    ${CMAKE_SOURCE_DIR}/deploy/debian/postrm ${CMAKE_SOURCE_DIR}/deploy/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/build.*/;/\\\\.git/")
include(CPack)
