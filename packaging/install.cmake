# What `cmake --install` puts in place. A Windows build also packs it into a
# ZIP (CPack) and an MSI (wixl); the Debian package is built from debian/.
include(GNUInstallDirs)

if(WIN32)
    install(TARGETS usermail RUNTIME DESTINATION .)
    install(FILES README.md LICENSE DESTINATION .)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME "usermail-${PROJECT_VERSION}-win64")
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
    # The installer administrators deploy, made with the build where wixl is
    # (packaging/makemsi.sh). Signed, program and MSI, when given a PKCS#12
    # code-signing certificate and a file holding its password.
    set(USERMAIL_HOMEPAGE "https://usermail.example.org/" CACHE STRING
        "The project's home page: the help and about links of Add/Remove Programs")
    set(USERMAIL_SIGN_PKCS12 "" CACHE FILEPATH "A PKCS#12 certificate to sign the program and the MSI with")
    set(USERMAIL_SIGN_PASSWORD_FILE "" CACHE FILEPATH "A file holding that certificate's password")
    set(USERMAIL_SIGN_TIMESTAMP_URL "" CACHE STRING "An RFC 3161 time-stamp server for the signatures (none)")
    find_program(WIXL wixl)
    find_program(MSIBUILD msibuild)
    set(signing)
    if(USERMAIL_SIGN_PKCS12)
        find_program(OSSLSIGNCODE osslsigncode REQUIRED)
        set(signing ${USERMAIL_SIGN_PKCS12} ${USERMAIL_SIGN_PASSWORD_FILE} ${USERMAIL_SIGN_TIMESTAMP_URL})
    endif()
    if(WIXL AND MSIBUILD)
        set(stage ${CMAKE_CURRENT_BINARY_DIR}/msi)
        configure_file(packaging/usermail.wxs.in ${stage}/usermail.wxs @ONLY)
        set(msi ${CMAKE_CURRENT_BINARY_DIR}/usermail-${PROJECT_VERSION}-x64.msi)
        add_custom_command(OUTPUT ${msi}
            COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:usermail> ${CMAKE_CURRENT_SOURCE_DIR}/README.md
                ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE ${stage}
            COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/packaging/makemsi.sh ${stage}/usermail.wxs ${msi} ${signing}
            DEPENDS usermail ${stage}/usermail.wxs README.md LICENSE packaging/makemsi.sh
            WORKING_DIRECTORY ${stage} VERBATIM)
        add_custom_target(msi ALL DEPENDS ${msi})
    endif()
else()
    # The man page and the changelog compressed, reproducibly, as Debian has them.
    set(packaging ${CMAKE_CURRENT_BINARY_DIR}/packaging)
    configure_file(doc/usermail.1 ${packaging}/usermail.1 @ONLY)
    add_custom_command(OUTPUT ${packaging}/usermail.1.gz ${packaging}/changelog.gz
        COMMAND gzip -9nkf ${packaging}/usermail.1
        COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/debian/changelog ${packaging}/changelog
        COMMAND gzip -9nf ${packaging}/changelog
        DEPENDS ${packaging}/usermail.1 ${CMAKE_CURRENT_SOURCE_DIR}/debian/changelog)
    add_custom_target(usermaildocs ALL DEPENDS ${packaging}/usermail.1.gz ${packaging}/changelog.gz)

    install(TARGETS usermail RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${packaging}/usermail.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    # The Debian package (debian/) installs these itself.
    option(USERMAIL_INSTALL_DOCS "Install the README, copyright and changelog" ON)
    if(USERMAIL_INSTALL_DOCS)
        install(FILES README.md debian/copyright ${packaging}/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/usermail)
    endif()
    return()
endif()

set(CPACK_PACKAGE_NAME usermail)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "print the logged-on user's e-mail addresses from the directory")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
include(CPack)
