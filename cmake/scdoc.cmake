# cmake -DSCDOC=scdoc -DSOURCE=page.scd -DPAGE=out/page.1 -P scdoc.cmake: the man page of an scdoc
# source, compressed as Debian keeps man pages (PAGE.gz, without a time stamp).
get_filename_component(folder ${PAGE} DIRECTORY)
file(MAKE_DIRECTORY ${folder})
execute_process(COMMAND ${SCDOC} INPUT_FILE ${SOURCE} OUTPUT_FILE ${PAGE} RESULT_VARIABLE status ERROR_VARIABLE said)
if(NOT status EQUAL 0)
  file(REMOVE ${PAGE})
  message(FATAL_ERROR "scdoc could not make ${PAGE} of ${SOURCE}: ${said}")
endif()
execute_process(COMMAND gzip -9nf ${PAGE} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip could not compress ${PAGE}")
endif()
