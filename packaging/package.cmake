# The Debian package marrowby_<version>_<arch>.deb, made by `cpack -G DEB` in
# a build directory: `make deb` for a release build, the package tests from
# the test build's own executable.

set(PKG_SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/packaging)
set(PKG_BUILD ${CMAKE_CURRENT_BINARY_DIR}/packaging)

# The changelog's newest entry names the package's version too; a package
# whose changelog disagrees with its control file is refused by the tools.
file(STRINGS ${PKG_SOURCE}/changelog pkgChangelogTop LIMIT_COUNT 1)
if(NOT pkgChangelogTop MATCHES "^marrowby \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog must start with version ${PROJECT_VERSION}")
endif()

# Debian ships the changelog and the manual page compressed, without a time
# stamp, so the same sources give the same package.
set(pkgCompressed)
foreach(doc changelog marrowby.8)
  add_custom_command(OUTPUT ${PKG_BUILD}/${doc}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${PKG_SOURCE}/${doc} ${PKG_BUILD}/${doc}
    COMMAND gzip -9nf ${PKG_BUILD}/${doc}
    DEPENDS ${PKG_SOURCE}/${doc}
    VERBATIM)
  list(APPEND pkgCompressed ${PKG_BUILD}/${doc}.gz)
endforeach()
add_custom_target(package_docs ALL DEPENDS ${pkgCompressed})

# Qt's link interface names the OpenGL libraries, which this program never
# calls; linked only as needed, they stay out of its dependencies and a
# headless server loads them only through Qt itself.
target_link_options(marrowby PRIVATE LINKER:--as-needed)

# The Debian layout: a daemon in sbin, the unit where systemd looks for
# packaged units, the settings as a conffile and the spool under /var/lib.
install(TARGETS marrowby RUNTIME DESTINATION sbin)
install(FILES ${PKG_SOURCE}/marrowby.service DESTINATION /lib/systemd/system)
install(FILES ${PKG_SOURCE}/Marrowby.ini DESTINATION /etc/marrowby)
install(DIRECTORY DESTINATION /var/lib/marrowby)
install(FILES ${PKG_SOURCE}/copyright ${PKG_BUILD}/changelog.gz
        DESTINATION share/doc/marrowby)
install(FILES ${PKG_BUILD}/marrowby.8.gz DESTINATION share/man/man8)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME marrowby)
set(CPACK_PACKAGE_VENDOR Wrenfield)
set(CPACK_PACKAGE_CONTACT "Wrenfield <marrowby@wrenfield.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small stand-alone news server for a local network")
# Lines of the extended description are kept within 80 columns by hand:
# CPack copies them as they are.
set(CPACK_PACKAGE_DESCRIPTION "\
Marrowby speaks the reading and posting subset of NNTP to newsreaders\n\
over TCP. It carries the newsgroups declared in its settings file, stores\n\
every posted article as a plain file per group and keeps one index per\n\
group. Optional logins with per-group read and post lists, hourly expiry\n\
and cancel messages.\n\
\n\
This package runs it as a systemd service under its own system user, with\n\
the settings in /etc/marrowby and the spool in /var/lib/marrowby.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION news)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries come from dpkg-shlibdeps; the offscreen platform plugin that
# a headless start loads is part of libqt6gui6, which it already names.
# adduser makes the service user in postinst.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PKG_SOURCE}/conffiles ${PKG_SOURCE}/postinst ${PKG_SOURCE}/prerm ${PKG_SOURCE}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_STRIP_FILES TRUE)
include(CPack)
