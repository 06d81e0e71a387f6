# The version record, the icon images and the manifest, made at build time from the project's
# version and the ASCII art, and compiled into ko197311.rc.

# The record shows the version as 4.00.0004: major, two-digit minor, four-digit revision.
string(LENGTH "${PROJECT_VERSION_MINOR}" minor_digits)
string(LENGTH "${PROJECT_VERSION_TWEAK}" tweak_digits)
math(EXPR minor_padding "2 - ${minor_digits}")
math(EXPR tweak_padding "4 - ${tweak_digits}")
string(REPEAT "0" ${minor_padding} minor_zeros)
string(REPEAT "0" ${tweak_padding} tweak_zeros)
set(VERSION_TEXT
    "${PROJECT_VERSION_MAJOR}.${minor_zeros}${PROJECT_VERSION_MINOR}.${tweak_zeros}${PROJECT_VERSION_TWEAK}")
set(VERSION_COMMAS
    "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},${PROJECT_VERSION_TWEAK}")
# The manifest gives its assembly version in the four-part form Windows reads: 4.0.0.4.
string(REPLACE "," "." VERSION_DOTS "${VERSION_COMMAS}")

set(ICON_DIR ${CMAKE_BINARY_DIR}/icon)
set(ICON_FILES ${ICON_DIR}/icon_30001.bin ${ICON_DIR}/icon_30002.bin ${ICON_DIR}/icon_30003.bin
               ${ICON_DIR}/icon_group.bin)
add_custom_command(
  OUTPUT ${ICON_FILES} ${ICON_DIR}/icon.png
  COMMAND ${CMAKE_COMMAND} -E make_directory ${ICON_DIR}
  COMMAND ${PYTHON3} ${PROJECT_SOURCE_DIR}/resources/make_icon.py
          ${PROJECT_SOURCE_DIR}/resources/icon.txt ${ICON_DIR} ${ICON_DIR}/icon.png
  DEPENDS ${PROJECT_SOURCE_DIR}/resources/make_icon.py ${PROJECT_SOURCE_DIR}/resources/icon.txt
  COMMENT "Drawing the icon images")
add_custom_target(icon_images DEPENDS ${ICON_FILES} ${ICON_DIR}/icon.png)

set(MANIFEST_FILE ${CMAKE_BINARY_DIR}/ko197311.manifest)
configure_file(${PROJECT_SOURCE_DIR}/resources/ko197311.manifest.in ${MANIFEST_FILE} @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/resources/ko197311.rc.in ${CMAKE_BINARY_DIR}/ko197311.rc @ONLY)
set_source_files_properties(${CMAKE_BINARY_DIR}/ko197311.rc
                            PROPERTIES OBJECT_DEPENDS "${ICON_FILES};${MANIFEST_FILE}")
