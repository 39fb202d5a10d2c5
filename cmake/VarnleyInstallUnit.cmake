# Run by `cmake --install`: writes the user unit with ExecStart naming the binary where this
# install puts it, so a --prefix given at install time (not only the configured one) counts.
# Set by the install rule: VARNLEY_UNIT_IN, VARNLEY_UNIT_OUT, VARNLEY_BINDIR.
if(IS_ABSOLUTE "${VARNLEY_BINDIR}")
  set(binary "${VARNLEY_BINDIR}/varnley")
else()
  set(binary "${CMAKE_INSTALL_PREFIX}/${VARNLEY_BINDIR}/varnley")
endif()
# The unit's own syntax: "%" starts a specifier, and a path with blanks, quotes or backslashes
# is one argument only when quoted.
string(REPLACE "%" "%%" exec "${binary}")
if(exec MATCHES "[ \t\"'\\\\]")
  string(REPLACE "\\" "\\\\" exec "${exec}")
  string(REPLACE "\"" "\\\"" exec "${exec}")
  set(exec "\"${exec}\"")
endif()
set(VARNLEY_EXEC "${exec}")
configure_file("${VARNLEY_UNIT_IN}" "${VARNLEY_UNIT_OUT}" @ONLY)
