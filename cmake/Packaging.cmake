# The Debian package: `cpack -G DEB` in a release build folder.
set(CPACK_PACKAGE_NAME kestrova-helper)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Kestrova)
set(CPACK_PACKAGE_CONTACT "Kestrova <support@kestrova.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Sends your coding agents' approval requests to your phone")
# Debian wants the long description in lines of at most 80 characters.
set(CPACK_PACKAGE_DESCRIPTION [[
A tray program that connects the coding agents you run on your computer to
your Kestrova account, so that their approval requests reach the Kestrova
phone app. It signs you in with Google, runs a small local approval gate on
Node.js, registers the agents it finds and shows a QR code that pairs the
phone.]])
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# A RelWithDebInfo binary carries its debug sections; users do not need them.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://kestrova.com)
# dpkg-shlibdeps computes the library dependencies; the gate daemon runs on node.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The gate and its npm packages need Node.js 18 or later (Debian 12 ships 18). Qt's SVG image
# plugin draws a symbol at a size not drawn at build time; nothing links it, so it is named.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "nodejs (>= 18), libqt6svg6")
# The sign-in page opens in the browser through xdg-open.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS xdg-utils)

set(maintainer_scripts)
foreach(script IN ITEMS postinst postrm)
    configure_file(${PROJECT_SOURCE_DIR}/resources/packaging/${script}.in
        ${PROJECT_BINARY_DIR}/packaging/${script} @ONLY
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                         WORLD_READ WORLD_EXECUTE)
    list(APPEND maintainer_scripts ${PROJECT_BINARY_DIR}/packaging/${script})
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${maintainer_scripts})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)

# The package test installs and removes the package on this machine (as root, under Xvfb), so
# it is opt-in: cmake --preset release -DKESTROVA_PACKAGE_TEST=ON, build, then ctest.
option(KESTROVA_PACKAGE_TEST "Test installing and removing the .deb on this machine" OFF)
if(KESTROVA_PACKAGE_TEST)
    enable_testing()
    add_test(NAME package
        COMMAND ${PROJECT_SOURCE_DIR}/tests/packaging/package_test.sh ${PROJECT_BINARY_DIR})
    set_tests_properties(package PROPERTIES TIMEOUT 300)
endif()
