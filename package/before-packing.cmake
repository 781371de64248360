# Run by cpack once the files are staged and before it packs them, so that
# two builds of one commit give the same bytes.
#
# Every member gets the time of the last commit in place of the build's;
# in a tree without git, that of the changelog's newest entry, as Debian's
# own builds take. A SOURCE_DATE_EPOCH already set (by a Debian build, say)
# is kept.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git -C ${CPACK_ICF_SOURCE_DIR} log -1 --format=%ct
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE failed ERROR_QUIET)
  if(failed)
    file(STRINGS ${CPACK_ICF_SOURCE_DIR}/package/changelog trailer
         REGEX "^ -- .*>  " LIMIT_COUNT 1)
    string(REGEX REPLACE "^ -- .*>  " "" date "${trailer}")
    execute_process(COMMAND date -d "${date}" +%s OUTPUT_VARIABLE epoch
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(NOT epoch MATCHES "^[0-9]+$")
    message(FATAL_ERROR "no time for the package's members: "
            "set SOURCE_DATE_EPOCH")
  endif()
  set(ENV{SOURCE_DATE_EPOCH} ${epoch})
endif()

# The directories get 0755 whatever the umask of the build: the installer
# makes them with mkdir(2), which the umask trims (to 0700 under 077).
if(NOT IS_DIRECTORY "${CPACK_TEMPORARY_DIRECTORY}")
  message(FATAL_ERROR "no staging directory: '${CPACK_TEMPORARY_DIRECTORY}'")
endif()
file(GLOB_RECURSE all LIST_DIRECTORIES true ${CPACK_TEMPORARY_DIRECTORY}/*)
foreach(path ${all})
  if(IS_DIRECTORY ${path} AND NOT IS_SYMLINK ${path})
    list(APPEND dirs ${path})
  endif()
endforeach()
if(dirs)
  file(CHMOD ${dirs} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
       GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()
