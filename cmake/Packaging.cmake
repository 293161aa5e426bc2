# Debian packages, one per install component: cpack -G DEB in a tree configured with
# -DCMAKE_INSTALL_PREFIX=/usr (scripts/package does it all; cpack refuses any other tree).
set(CPACK_PACKAGE_NAME qn-resource-agent)
set(CPACK_PACKAGE_VENDOR "Korvel")
set(CPACK_PACKAGE_CONTACT "QNResourceAgent developers <qn-resource-agent@example.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Our own libraries are found in the build tree; their package is named in Depends.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR} ${PROJECT_BINARY_DIR}/support)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_COMPONENTS_ALL libraries development qn-resource-observer qn-system-resource-observer qn-tools)

# The runtime libraries are named after the SONAME of the agent's library.
set(runtime libqnresourceagent64-${PROJECT_VERSION_MAJOR})
set(exact_runtime "${runtime} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_LIBRARIES_PACKAGE_NAME ${runtime})
set(CPACK_DEBIAN_LIBRARIES_PACKAGE_SECTION libs)
# Which package provides each SONAME, and ldconfig run by a trigger rather than by the scripts.
set(shlibs "")
foreach(library QNResourceAgent64 QNError64 QNConvert64 QNComUtilities64 QNServerBaseLib64)
  string(APPEND shlibs "lib${library} ${PROJECT_VERSION_MAJOR} ${runtime} (>= ${PROJECT_VERSION})\n")
endforeach()
file(WRITE ${PROJECT_BINARY_DIR}/debian/${runtime}/shlibs "${shlibs}")
file(WRITE ${PROJECT_BINARY_DIR}/debian/${runtime}/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_LIBRARIES_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/${runtime}/shlibs ${PROJECT_BINARY_DIR}/debian/${runtime}/triggers)
set(CPACK_COMPONENT_LIBRARIES_DESCRIPTION "resource agent library of a multi-process application server
The library measures a server process and its machine, raises emergencies
on the server's handler before the process runs out of memory, descriptors
or threads, and streams every sample to the resource observer of the
machine. With its support libraries QNError64, QNConvert64,
QNComUtilities64 and QNServerBaseLib64.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libqnresourceagent64-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS ${exact_runtime})
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "resource agent library - development files
Headers, the CMake package (find_package(QNResourceAgent64)) and the
pkg-config file for servers that embed the resource agent.")

set(CPACK_DEBIAN_QN-RESOURCE-OBSERVER_PACKAGE_NAME qn-resource-observer)
set(CPACK_COMPONENT_QN-RESOURCE-OBSERVER_DESCRIPTION "resource observer daemon of a machine
Takes the samples of the server processes of its machine, keeps their
short histories, checks the machine's alert limits and forwards the
machine's figures to the system resource observer. Exposes Prometheus
metrics on the loopback.")
set(CPACK_DEBIAN_QN-SYSTEM-RESOURCE-OBSERVER_PACKAGE_NAME qn-system-resource-observer)
set(CPACK_COMPONENT_QN-SYSTEM-RESOURCE-OBSERVER_DESCRIPTION "system resource observer daemon of an installation
Collects the figures of every machine's resource observer on a central
machine and serves them as a status page and Prometheus metrics on the
loopback.")
set(CPACK_DEBIAN_QN-TOOLS_PACKAGE_NAME qn-tools)
set(CPACK_COMPONENT_QN-TOOLS_DESCRIPTION "tools of the resource agent installation
qn-status prints what the system resource observer knows of each machine;
qn-server-demo is a stand-in server process that makes load on request.")

foreach(component libraries development qn-resource-observer qn-system-resource-observer qn-tools)
  string(TOUPPER ${component} COMPONENT)
  set(package ${CPACK_DEBIAN_${COMPONENT}_PACKAGE_NAME})
  # Debian's documentation of every package: its copyright and a changelog compressed as policy wants.
  set(doc ${PROJECT_BINARY_DIR}/debian/${package})
  string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${doc}/changelog @ONLY)
  execute_process(COMMAND gzip -9nf ${doc}/changelog COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${doc}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  if(NOT component STREQUAL libraries AND NOT component STREQUAL development)
    set(CPACK_DEBIAN_${COMPONENT}_PACKAGE_SECTION admin)
    set(CPACK_DEBIAN_${COMPONENT}_PACKAGE_DEPENDS ${exact_runtime})
  endif()
endforeach()

# The daemons' packages make the service account and keep the operator's defaults file; the
# daemons talk to systemd through libsystemd.
foreach(daemon qn-resource-observer qn-system-resource-observer)
  string(TOUPPER ${daemon} COMPONENT)
  set(CPACK_DEBIAN_${COMPONENT}_PACKAGE_DEPENDS "${exact_runtime}, adduser, libsystemd0")
  file(WRITE ${PROJECT_BINARY_DIR}/debian/${daemon}/conffiles "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/${daemon}\n")
  set(CPACK_DEBIAN_${COMPONENT}_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/postinst ${PROJECT_BINARY_DIR}/debian/${daemon}/conffiles)
endforeach()

# The packages' paths (/etc/default, the units' ExecStart, the conffiles) are those of a /usr
# install: a tree configured for another prefix would make packages that install there and that
# lintian rejects, so cpack refuses it.
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/debian/refuse-prefix.cmake)
  file(WRITE ${CPACK_PROJECT_CONFIG_FILE}
       "message(FATAL_ERROR \"This tree is configured for ${CMAKE_INSTALL_PREFIX}; Debian packages need /usr. Run scripts/package [BUILD], which configures a tree of its own for /usr.\")\n")
endif()

include(CPack)
