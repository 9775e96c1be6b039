# The Debian package, made by `scripts/package.sh` (cpack -G DEB) from a clean build. Its
# dependencies come from the binary itself (dpkg-shlibdeps); the platform plugins are loaded at run
# time, so the binary cannot name them.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${ORVANE_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "Orvane Labs")
set(CPACK_PACKAGE_CONTACT "Orvane Labs <support@orvanelabs.ch>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "colle toujours du texte brut, partout")
# CPack indents the lines itself and marks the empty line between paragraphs.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "OrvaneTavo garde le presse-papiers libre de toute mise en forme : quand un
autre programme a copié du texte stylé (HTML, RTF), il remet à sa place le
texte brut que ce programme a fourni avec, pour que le collage suivant arrive
nu. Les copies de fichiers, d'images et de tableurs ne sont pas touchées.

Il vit dans une fenêtre ou dans la zone de notification et peut s'ouvrir à la
connexion. Son interface est en français.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://orvanelabs.ch/orvanetavo")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# qt6-wayland: the window of a Wayland session without XWayland.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, qt6-wayland")
# Opening links and the downloaded update goes through the desktop's opener; the welcome
# question ends with an emoji, a blank box without a colour emoji font.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, fonts-noto-color-emoji")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# A restrictive umask on the build machine must not end up in the package's folders.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
