# Run by cpack on the package it built: the outer archive's members carry
# the modes the umask gave their files on disk, so they are packed again in
# ar's deterministic mode (0644, owner 0, time 0), order kept.
foreach(deb ${CPACK_PACKAGE_FILES})
  set(dir ${deb}.members)
  file(REMOVE_RECURSE ${dir})
  file(MAKE_DIRECTORY ${dir})
  execute_process(COMMAND ${CPACK_ICF_AR} t ${deb} OUTPUT_VARIABLE members
                  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  string(REPLACE "\n" ";" members "${members}")
  execute_process(COMMAND ${CPACK_ICF_AR} x ${deb} WORKING_DIRECTORY ${dir}
                  COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE ${deb})
  execute_process(COMMAND ${CPACK_ICF_AR} rcD ${deb} ${members}
                  WORKING_DIRECTORY ${dir} COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${dir})
endforeach()
