# What `cmake --install` puts in place, and the packages CPack makes of it:
# a Debian package from a Linux build, a ZIP from a Windows build.
include(GNUInstallDirs)

if(WIN32)
    install(TARGETS usermail RUNTIME DESTINATION .)
    install(FILES README.md LICENSE DESTINATION .)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME "usermail-${PROJECT_VERSION}-win64")
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
    # The installer administrators deploy, made with the build where wixl is.
    # wixl takes its files from the folder it runs in, and (before 0.102)
    # leaves the File table's version empty: msibuild sets it.
    find_program(WIXL wixl)
    find_program(MSIBUILD msibuild)
    if(WIXL AND MSIBUILD)
        set(stage ${CMAKE_CURRENT_BINARY_DIR}/msi)
        configure_file(packaging/usermail.wxs.in ${stage}/usermail.wxs @ONLY)
        set(msi ${CMAKE_CURRENT_BINARY_DIR}/usermail-${PROJECT_VERSION}-x64.msi)
        add_custom_command(OUTPUT ${msi}
            COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:usermail> ${CMAKE_CURRENT_SOURCE_DIR}/README.md
                ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE ${stage}
            COMMAND ${WIXL} -a x64 -o ${msi} usermail.wxs
            COMMAND ${MSIBUILD} ${msi} -q "UPDATE `File` SET `Version` = '${PROJECT_VERSION}.0' WHERE `File` = 'usermail.exe'"
            DEPENDS usermail ${stage}/usermail.wxs README.md LICENSE
            WORKING_DIRECTORY ${stage} VERBATIM)
        add_custom_target(msi ALL DEPENDS ${msi})
    endif()
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
