# Install rules, included from the top-level CMakeLists.txt after the
# kelvo-vmhelper target is defined: the program, its manual page and its bash
# completion (installed under the program's name, as bash-completion looks
# completions up by command name).
include(GNUInstallDirs)

set(KELVO_DOC_DIR ${CMAKE_CURRENT_LIST_DIR}/../doc)

install(TARGETS kelvo-vmhelper RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_BINARY_DIR}/kelvo-vmhelper.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${KELVO_DOC_DIR}/kelvo-vmhelper.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME kelvo-vmhelper)
