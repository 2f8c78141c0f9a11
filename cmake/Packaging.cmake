# The Debian package: `cpack -G DEB` in the build folder, or scripts/package.sh.
# Besides the four programs it holds their manual pages, made by help2man from
# their own --help so that they never drift from the options, the theme icons,
# made from the window's XPM art, the AppStream metadata and the Debian files.
#
# Only a plain build makes it: the sanitizer builds would have to run
# instrumented programs for help2man, and nobody ships them.
if(ONDREL_SANITIZE OR ONDREL_FUZZ)
  return()
endif()
find_program(ONDREL_HELP2MAN help2man)
find_program(ONDREL_GZIP gzip)
if(NOT ONDREL_HELP2MAN OR NOT ONDREL_GZIP)
  message(WARNING "help2man or gzip is missing (scripts/setup.sh installs them): "
                  "no manual pages, no package")
  return()
endif()

include(GNUInstallDirs)
set(ondrel_pkg_src ${CMAKE_SOURCE_DIR}/packaging)
set(ondrel_pkg_out ${CMAKE_BINARY_DIR}/packaging)
set(ondrel_pkg_files)

foreach(program ondrel ondrel-sim ondrel-fleet)
  add_custom_command(
    OUTPUT ${ondrel_pkg_out}/${program}.1.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${ondrel_pkg_out}
    COMMAND ${ONDREL_HELP2MAN} --no-info --include=${ondrel_pkg_src}/${program}.h2m
            --output=${ondrel_pkg_out}/${program}.1 $<TARGET_FILE:${program}>
    COMMAND ${ONDREL_GZIP} -9nf ${ondrel_pkg_out}/${program}.1
    DEPENDS ${program} ${ondrel_pkg_src}/${program}.h2m
    COMMENT "Manual page of ${program} (help2man)"
    VERBATIM)
  list(APPEND ondrel_pkg_files ${ondrel_pkg_out}/${program}.1.gz)
endforeach()

# ondrel-lab's page holds every command's help, not just the program's.
add_custom_command(
  OUTPUT ${ondrel_pkg_out}/ondrel-lab.1.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${ondrel_pkg_out}
  COMMAND ${ONDREL_HELP2MAN} --no-info --help-option=--help-all
          --include=${ondrel_pkg_src}/ondrel-lab.h2m
          --output=${ondrel_pkg_out}/ondrel-lab.1 $<TARGET_FILE:ondrel-lab>
  COMMAND ${ONDREL_GZIP} -9nf ${ondrel_pkg_out}/ondrel-lab.1
  DEPENDS ondrel-lab ${ondrel_pkg_src}/ondrel-lab.h2m
  COMMENT "Manual page of ondrel-lab (help2man)"
  VERBATIM)
list(APPEND ondrel_pkg_files ${ondrel_pkg_out}/ondrel-lab.1.gz)

add_executable(ondrel-xpm2png ${ondrel_pkg_src}/xpm2png.cpp)
target_link_libraries(ondrel-xpm2png PRIVATE Qt6::Gui)
# SIZE:ART; 48 is the 16-pixel drawing tripled, which keeps its pixels sharp.
foreach(entry 16:mainframe16 32:mainframe32 48:mainframe16)
  string(REPLACE ":" ";" entry ${entry})
  list(GET entry 0 size)
  list(GET entry 1 art)
  set(png ${ondrel_pkg_out}/icons/${size}/ondrel.png)
  add_custom_command(
    OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${ondrel_pkg_out}/icons/${size}
    COMMAND ondrel-xpm2png ${CMAKE_SOURCE_DIR}/res/${art}.xpm ${size} ${png}
    DEPENDS ondrel-xpm2png ${CMAKE_SOURCE_DIR}/res/${art}.xpm
    COMMENT "Icon ondrel.png, ${size} pixels"
    VERBATIM)
  list(APPEND ondrel_pkg_files ${png})
  install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()

add_custom_command(
  OUTPUT ${ondrel_pkg_out}/changelog.gz
  COMMAND ${ONDREL_GZIP} -9nc ${ondrel_pkg_src}/changelog > ${ondrel_pkg_out}/changelog.gz
  DEPENDS ${ondrel_pkg_src}/changelog
  VERBATIM)
list(APPEND ondrel_pkg_files ${ondrel_pkg_out}/changelog.gz)

add_custom_target(ondrel-package-files ALL DEPENDS ${ondrel_pkg_files})

install(TARGETS ondrel-sim ondrel-fleet ondrel-lab RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${ondrel_pkg_out}/ondrel.1.gz ${ondrel_pkg_out}/ondrel-sim.1.gz
              ${ondrel_pkg_out}/ondrel-fleet.1.gz ${ondrel_pkg_out}/ondrel-lab.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The archive as a system service: installed idle until /etc/default/ondrel-lab
# names the lab's broker.
install(FILES ${ondrel_pkg_src}/service/ondrel-lab.service DESTINATION /lib/systemd/system)
install(FILES ${ondrel_pkg_src}/service/ondrel-lab.default DESTINATION /etc/default
        RENAME ondrel-lab)
install(FILES ${ondrel_pkg_src}/org.example.ondrel.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${ondrel_pkg_src}/copyright ${ondrel_pkg_out}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/ondrel)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ondrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Ondrel developers")
set(CPACK_PACKAGE_CONTACT "The Ondrel developers <ondrel@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "operator console for an X-ray generator on a serial line")
set(CPACK_PACKAGE_DESCRIPTION
    "Ondrel switches the X-rays of a generator attached through a serial port on and
off with one fixed preset, shows the live kV, uA and temperature read-outs and
the generator's fault state, and clears faults.

The package also holds ondrel-sim, a simulated generator on a pseudo-terminal,
for trying the console without hardware and for injecting faults, and
ondrel-fleet, a read-only window on every console publishing to a lab's MQTT
broker, with their states and an alarm list, and ondrel-lab, the lab's archive
of every console's readings, events and exposures, with the queries a
radiation-safety officer asks of it.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://ondrel.example.org/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# What dpkg-shlibdeps cannot see: Qt loads its platform plugin at run time, and
# without it the console does not start; the lab's history pages draw their
# charts with the system's Chart.js, which ondrel-lab serves from where it lies;
# civetweb serves TLS with OpenSSL 3 opened at run time through the stand-ins
# in lib/ondrel.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libjs-chart.js, libssl3")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-dejavu-core")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${ondrel_pkg_src}/service/conffiles ${ondrel_pkg_src}/service/postinst
    ${ondrel_pkg_src}/service/prerm ${ondrel_pkg_src}/service/postrm)
include(CPack)
