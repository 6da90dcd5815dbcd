# Builds the package archive from the sample client's parts.
#   cmake -DCLIENT=<client executable> -DSTART_STOP=<start script> -DINFO=<INFO file>
#         -DSTAGE=<scratch folder> -DOUT=<archive> -DROOT_INFO=<system-wide INFO>
#         -P make-package.cmake
# The archive's entries are the per-user application folder's contents: bin/,
# package/ and INFO at its top, since the launcher unpacks it straight into
# ~/.Brisendale/Brisendale.app.
foreach(var CLIENT START_STOP INFO STAGE OUT ROOT_INFO)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "make-package: ${var} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE "${STAGE}")
file(MAKE_DIRECTORY "${STAGE}/bin" "${STAGE}/package")
# Fixed names inside the package, whatever the parts are called here.
set(exec_perms OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(COPY_FILE "${CLIENT}" "${STAGE}/bin/brisendale-drive-ui")
file(CHMOD "${STAGE}/bin/brisendale-drive-ui" PERMISSIONS ${exec_perms})
file(COPY_FILE "${START_STOP}" "${STAGE}/package/start-stop")
file(CHMOD "${STAGE}/package/start-stop" PERMISSIONS ${exec_perms})
file(COPY_FILE "${INFO}" "${STAGE}/INFO")
file(CHMOD "${STAGE}/INFO" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

get_filename_component(out_dir "${OUT}" DIRECTORY)
file(MAKE_DIRECTORY "${out_dir}")
# Written beside and renamed, so an interrupted build never leaves half an archive.
# gzip -n keeps the build time out of the header, so the archive is reproducible.
execute_process(
  COMMAND "${CMAKE_COMMAND}" -E tar cf "${OUT}.tar" --format=gnutar -- bin package INFO
  WORKING_DIRECTORY "${STAGE}"
  RESULT_VARIABLE rc)
if(rc EQUAL 0)
  execute_process(COMMAND gzip -9n -c "${OUT}.tar" OUTPUT_FILE "${OUT}.part" RESULT_VARIABLE rc)
endif()
file(REMOVE "${OUT}.tar")
if(NOT rc EQUAL 0)
  file(REMOVE "${OUT}.part")
  message(FATAL_ERROR "make-package: tar failed (${rc})")
endif()
file(RENAME "${OUT}.part" "${OUT}")

# The system-wide version file also tells how much room and how many entries the
# unpacked package takes, so that the launcher can refuse an upgrade that would fill
# the user's disk. Every entry is counted in whole 4 KiB blocks, as most file systems
# store it.
file(GLOB_RECURSE entries LIST_DIRECTORIES true "${STAGE}/*")
# The entries need inodes too: the application folder and one per entry below it.
list(LENGTH entries installed_entries)
math(EXPR installed_entries "${installed_entries} + 1")
set(installed_size 4096)
foreach(entry IN LISTS entries)
  set(blocks 1)
  if(NOT IS_DIRECTORY "${entry}" AND NOT IS_SYMLINK "${entry}")
    file(SIZE "${entry}" size)
    math(EXPR blocks "(${size} + 4095) / 4096")
  endif()
  math(EXPR installed_size "${installed_size} + ${blocks} * 4096")
endforeach()
# And the package file's SHA-256, which the launcher checks as it reads the package.
file(SHA256 "${OUT}" sha256)
file(READ "${INFO}" info_text)
file(WRITE "${ROOT_INFO}.part"
  "${info_text}\n[Package]\ninstalled_size=${installed_size}\ninstalled_entries=${installed_entries}\nsha256=${sha256}\n")
file(RENAME "${ROOT_INFO}.part" "${ROOT_INFO}")
