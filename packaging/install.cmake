# What `cmake --install` puts in place, and the packages CPack makes of it:
# a Debian package from a Linux build, a ZIP from a Windows build.
include(GNUInstallDirs)

if(WIN32)
    install(TARGETS usermail RUNTIME DESTINATION .)
    install(FILES README.md LICENSE DESTINATION .)
    set(CPACK_GENERATOR ZIP)
    math(EXPR bits "${CMAKE_SIZEOF_VOID_P} * 8")
    set(CPACK_PACKAGE_FILE_NAME "usermail-${PROJECT_VERSION}-win${bits}")
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
    # Debian wants the man page and the changelog compressed, reproducibly.
    set(packaging ${CMAKE_CURRENT_BINARY_DIR}/packaging)
    configure_file(doc/usermail.1 ${packaging}/usermail.1 @ONLY)
    add_custom_command(OUTPUT ${packaging}/usermail.1.gz ${packaging}/changelog.gz
        COMMAND gzip -9nkf ${packaging}/usermail.1
        COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog ${packaging}/changelog
        COMMAND gzip -9nf ${packaging}/changelog
        DEPENDS ${packaging}/usermail.1 ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog)
    add_custom_target(usermaildocs ALL DEPENDS ${packaging}/usermail.1.gz ${packaging}/changelog.gz)

    install(TARGETS usermail RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${packaging}/usermail.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES README.md packaging/copyright ${packaging}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/usermail)

    set(CPACK_GENERATOR DEB)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION net)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    # Single sign-on with the Kerberos ticket needs SASL's GSSAPI module.
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libsasl2-modules-gssapi-mit | libsasl2-modules-gssapi-heimdal")
    set(CPACK_PACKAGE_DESCRIPTION "usermail finds the logged-on user's own object in the directory (Active
Directory or any LDAP directory), binding with the user's own Kerberos
ticket or local credentials, and prints the e-mail addresses found in chosen
attributes. Logon scripts and client set-up tools call it to learn which
address to configure.")
endif()

set(CPACK_PACKAGE_NAME usermail)
set(CPACK_PACKAGE_CONTACT "The usermail developers <usermail@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "print the logged-on user's e-mail addresses from the directory")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
include(CPack)
