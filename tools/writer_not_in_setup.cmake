# Fails when the installer program holds any code of the package writer:
#   cmake -DPROGRAM=path/to/setup -P writer_not_in_setup.cmake
# The installer only reads packages; what writes them belongs to the vendor
# tool, and a stray link would ship it to every desktop.
execute_process(COMMAND nm -C "${PROGRAM}" OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm cannot read ${PROGRAM}")
endif()
string(REGEX MATCHALL "package_(format|builder)::[A-Za-z_]+" found "${symbols}")
if(found)
  list(REMOVE_DUPLICATES found)
  message(FATAL_ERROR "${PROGRAM} holds the package writer: ${found}")
endif()
