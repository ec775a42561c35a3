# Writes the program's desktop entry while installing, so that its Exec line
# names the program under the prefix that `cmake --install --prefix` is given,
# quoted as desktop entries quote arguments. Run by install(SCRIPT) after
# install(CODE) has set KOVO_DESKTOP_TEMPLATE, KOVO_DESKTOP_OUT,
# KOVO_DESKTOP_BINDIR and KOVO_DESKTOP_DATADIR (the last two as configured,
# relative to the prefix or absolute).
foreach(dir BINDIR DATADIR)
  if(IS_ABSOLUTE "${KOVO_DESKTOP_${dir}}")
    set(${dir} "${KOVO_DESKTOP_${dir}}")
  else()
    set(${dir} "${CMAKE_INSTALL_PREFIX}/${KOVO_DESKTOP_${dir}}")
  endif()
endforeach()
string(REGEX REPLACE "([\"`$\\\\])" "\\\\\\1" exec "${BINDIR}/kovo_uir")
string(REPLACE "\\" "\\\\" exec "${exec}")
set(KOVO_DESKTOP_EXEC "\"${exec}\"")
configure_file("${KOVO_DESKTOP_TEMPLATE}" "${KOVO_DESKTOP_OUT}" @ONLY)
file(INSTALL "${KOVO_DESKTOP_OUT}" DESTINATION "${DATADIR}/applications")
