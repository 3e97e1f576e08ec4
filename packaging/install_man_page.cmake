# One man page, installed by the install step (qv_install_man_page in
# CMakeLists.txt writes the call): fills in @QV_VERSION@, @QV_PREFIX@ and
# @QV_DATADIR@ for the prefix being installed to, gzips the page as Debian
# wants it (no name, no time stamp) and installs it under DESTDIR, with each
# alias as a link to it. Set by the caller: QV_MAN_PAGE (the source page),
# QV_MAN_ALIASES, QV_MAN_WORK (a scratch folder in the build tree),
# QV_MAN_DIR (man1 below the prefix), QV_VERSION, QV_DATADIR_REL.
get_filename_component(qv_name ${QV_MAN_PAGE} NAME)
set(QV_PREFIX ${CMAKE_INSTALL_PREFIX})
set(QV_DATADIR ${CMAKE_INSTALL_PREFIX}/${QV_DATADIR_REL})
file(MAKE_DIRECTORY ${QV_MAN_WORK})
configure_file(${QV_MAN_PAGE} ${QV_MAN_WORK}/${qv_name} @ONLY)
execute_process(COMMAND gzip -9n -c ${QV_MAN_WORK}/${qv_name}
                OUTPUT_FILE ${QV_MAN_WORK}/${qv_name}.gz RESULT_VARIABLE qv_rc)
if(NOT qv_rc EQUAL 0)
  message(FATAL_ERROR "gzip ${QV_MAN_WORK}/${qv_name}: ${qv_rc}")
endif()
set(qv_files ${QV_MAN_WORK}/${qv_name}.gz)
foreach(qv_alias ${QV_MAN_ALIASES})
  file(CREATE_LINK ${qv_name}.gz ${QV_MAN_WORK}/${qv_alias}.1.gz SYMBOLIC)
  list(APPEND qv_files ${QV_MAN_WORK}/${qv_alias}.1.gz)
endforeach()
file(INSTALL DESTINATION ${CMAKE_INSTALL_PREFIX}/${QV_MAN_DIR} TYPE FILE FILES ${qv_files})
