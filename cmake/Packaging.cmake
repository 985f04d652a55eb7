# The Debian package (tools/package.sh runs CPack with it): the program folder under
# /opt/yunsuo-mailbox, the command /usr/bin/yunsuo-mailbox, the menu entry, the icon in
# the hicolor theme, AppStream metadata, the manual page and the Debian documents.
# Install destinations are relative to "/", so they hold only inside the package.

set(TMBL_PACKAGE_NAME "yunsuo-mailbox")
set(TMBL_INSTALL_FOLDER "opt/${TMBL_PACKAGE_NAME}")
set(pkg_src "${CMAKE_SOURCE_DIR}/packaging")
set(pkg_out "${CMAKE_BINARY_DIR}/packaging")
file(MAKE_DIRECTORY "${pkg_out}")

if(TMBL_CONTACT)
    set(default_maintainer "云梭邮盒 developers <${TMBL_CONTACT}>")
else()
    # Debian needs a Maintainer; without a project address the field says plainly that
    # there is none (".invalid" never delivers). A release build sets TMBL_CONTACT.
    set(default_maintainer "云梭邮盒 developers <${TMBL_PACKAGE_NAME}@no-contact.invalid>")
endif()
set(TMBL_MAINTAINER "" CACHE STRING "The package's Maintainer field (Name <address>); empty: from TMBL_CONTACT")
set(maintainer "${TMBL_MAINTAINER}")
if(NOT maintainer)
    set(maintainer "${default_maintainer}")
endif()

# --- Generated documents ------------------------------------------------------------
# AppStream wants a reverse-DNS component id; it can only be made from the project's own
# web site. Without one the plain package name serves (the validator warns about it).
set(TMBL_APPSTREAM_ID "${TMBL_PACKAGE_NAME}")
if(TMBL_HOMEPAGE MATCHES "^[A-Za-z]+://([A-Za-z0-9.-]+)")
    string(TOLOWER "${CMAKE_MATCH_1}" site_host)
    string(REGEX REPLACE "^www\\." "" site_host "${site_host}")
    string(REPLACE "." ";" site_labels "${site_host}")
    list(REVERSE site_labels)
    string(REPLACE "-" "_" site_labels "${site_labels}")
    list(JOIN site_labels "." TMBL_APPSTREAM_ID)
    string(APPEND TMBL_APPSTREAM_ID ".yunsuo_mailbox")
endif()
set(TMBL_METAINFO_URLS "")
if(TMBL_HOMEPAGE)
    string(APPEND TMBL_METAINFO_URLS "\n  <url type=\"homepage\">${TMBL_HOMEPAGE}</url>")
endif()
if(TMBL_CONTACT)
    string(APPEND TMBL_METAINFO_URLS "\n  <update_contact>${TMBL_CONTACT}</update_contact>")
endif()
configure_file("${pkg_src}/yunsuo-mailbox.metainfo.xml.in" "${pkg_out}/${TMBL_PACKAGE_NAME}.metainfo.xml" @ONLY)

set(TMBL_COPYRIGHT_SOURCE "")
if(TMBL_HOMEPAGE)
    set(TMBL_COPYRIGHT_SOURCE "Source: ${TMBL_HOMEPAGE}")
endif()
if(TMBL_LICENSE STREQUAL "LicenseRef-proprietary")
    set(TMBL_LICENSE_TEXT " All rights reserved. The program may be used but not redistributed\n without the copyright holders' permission.")
else()
    set(TMBL_LICENSE_TEXT " See the licence ${TMBL_LICENSE} (https://spdx.org/licenses/${TMBL_LICENSE}.html).")
endif()
configure_file("${pkg_src}/copyright.in" "${pkg_out}/copyright" @ONLY)

# The changelog date follows the build date, in the form dpkg expects.
string(TIMESTAMP TMBL_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file("${pkg_src}/changelog.in" "${pkg_out}/changelog" @ONLY)

# Debian wants compressed documents without a time stamp in the gzip header.
find_program(GZIP_PROGRAM gzip REQUIRED)
add_custom_command(
    OUTPUT "${pkg_out}/changelog.gz" "${pkg_out}/${TMBL_PACKAGE_NAME}.1.gz"
    COMMAND ${GZIP_PROGRAM} -9n -c "${pkg_out}/changelog" > "${pkg_out}/changelog.gz"
    COMMAND ${GZIP_PROGRAM} -9n -c "${pkg_src}/yunsuo-mailbox.1" > "${pkg_out}/${TMBL_PACKAGE_NAME}.1.gz"
    DEPENDS "${pkg_out}/changelog" "${pkg_src}/yunsuo-mailbox.1"
    COMMENT "Compressing the package's changelog and manual page")
add_custom_target(package_documents ALL DEPENDS "${pkg_out}/changelog.gz" "${pkg_out}/${TMBL_PACKAGE_NAME}.1.gz")

# /usr/bin/yunsuo-mailbox is a link to the program (absolute, as Debian wants between
# top-level folders), so the program still finds its own folder through /proc/self/exe.
file(CREATE_LINK "/${TMBL_INSTALL_FOLDER}/云梭邮盒" "${pkg_out}/${TMBL_PACKAGE_NAME}" SYMBOLIC)

# --- What the package holds -----------------------------------------------------------
install(TARGETS tmbl_program RUNTIME DESTINATION "${TMBL_INSTALL_FOLDER}")
# The database and icons come from the build's own copies: the staged ones may have been
# changed by running the program from build/program (entries, passwords, dropped icons).
install(FILES "${TMBL_SHIPPED_DATABASE_DIR}/tmbl.edb" "${TMBL_SHIPPED_DATABASE_DIR}/tmbl.EDT"
    "${TMBL_PROGRAM_DIR}/index.htm" "${TMBL_PROGRAM_DIR}/yunsuo-mailbox.png"
    DESTINATION "${TMBL_INSTALL_FOLDER}")
install(DIRECTORY "${TMBL_SHIPPED_ICON_DIR}/" DESTINATION "${TMBL_INSTALL_FOLDER}/ico")
install(FILES "${pkg_out}/${TMBL_PACKAGE_NAME}" DESTINATION usr/bin)
install(FILES "${pkg_src}/yunsuo-mailbox.desktop" DESTINATION usr/share/applications)
foreach(side 48 128 256)
    install(FILES "${TMBL_APP_ICON_DIR}/${side}x${side}.png"
        DESTINATION "usr/share/icons/hicolor/${side}x${side}/apps" RENAME "${TMBL_PACKAGE_NAME}.png")
endforeach()
install(FILES "${TMBL_APP_ICON_DIR}/scalable.svg"
    DESTINATION usr/share/icons/hicolor/scalable/apps RENAME "${TMBL_PACKAGE_NAME}.svg")
install(FILES "${pkg_out}/${TMBL_PACKAGE_NAME}.metainfo.xml" DESTINATION usr/share/metainfo)
install(FILES "${pkg_out}/${TMBL_PACKAGE_NAME}.1.gz" DESTINATION usr/share/man/man1)
install(FILES "${pkg_out}/copyright" "${pkg_out}/changelog.gz" DESTINATION "usr/share/doc/${TMBL_PACKAGE_NAME}")
install(FILES "${pkg_src}/lintian-overrides" DESTINATION usr/share/lintian/overrides RENAME "${TMBL_PACKAGE_NAME}")

# --- CPack DEB --------------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME "${TMBL_PACKAGE_NAME}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}")
set(CPACK_PACKAGING_INSTALL_PREFIX "/")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "log into web mail with one click")
# CPack puts the summary first and indents these lines itself.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "云梭邮盒 (方便快捷的邮箱登录软件) keeps nine mailboxes as buttons beside an
embedded web browser; a click opens the provider's login page, fills in the
user name and password and logs in. The mailbox data lives in an encrypted
database in each user's own data folder.
")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${maintainer}")
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
if(TMBL_HOMEPAGE)
    set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${TMBL_HOMEPAGE}")
endif()
# The libraries come from dpkg-shlibdeps; the Chinese captions need a CJK font that no
# library pulls in.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-wqy-microhei | fonts-noto-cjk")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_SOURCE_DIR}/cmake/CPackProject.cmake")
include(CPack)
