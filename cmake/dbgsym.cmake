# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors
# Run by CPack after it has built the packages. CPack 3.25 writes the
# absolute paths of its own staging folder into a debug package's md5sums,
# where dpkg and lintian expect paths from the root; its symbol files are
# executable, and it has no /usr/share/doc. Each debug package is rebuilt in
# place with the paths as they should be, its symbol files plain files, and,
# as Debian's own debug packages have it, its doc folder a link to the one
# of the package whose symbols it holds.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "/([^/_]+)-dbgsym_[^/]*\\.ddeb$")
    continue()
  endif()
  set(owner ${CMAKE_MATCH_1})
  set(tree ${package}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb -R ${package} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  file(READ ${tree}/DEBIAN/md5sums sums)
  string(REGEX REPLACE "  [^\n]*/usr/lib/debug/" "  usr/lib/debug/" sums "${sums}")
  file(WRITE ${tree}/DEBIAN/md5sums "${sums}")
  file(GLOB_RECURSE symbols ${tree}/usr/lib/debug/*.debug)
  file(CHMOD ${symbols} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  file(MAKE_DIRECTORY ${tree}/usr/share/doc)
  file(CREATE_LINK ${owner} ${tree}/usr/share/doc/${owner}-dbgsym SYMBOLIC)
  execute_process(COMMAND dpkg-deb --root-owner-group -b ${tree} ${package}
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
