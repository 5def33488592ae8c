# cmake -DSCDOC=... -DSOURCE=x.scd -DOUTPUT=x -DVERSION=... -DPLUGIN_DIR=...
#       -P ScdocPage.cmake
# Fills @VERSION@ and @PLUGIN_DIR@ into one scdoc source, writes the roff page
# OUTPUT and a reproducible gzip copy OUTPUT.gz beside it.
configure_file(${SOURCE} ${OUTPUT}.scd @ONLY)
execute_process(COMMAND ${SCDOC}
  INPUT_FILE ${OUTPUT}.scd OUTPUT_FILE ${OUTPUT} ERROR_VARIABLE error RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE ${OUTPUT})
  message(FATAL_ERROR "scdoc failed on ${SOURCE}: ${error}")
endif()
execute_process(COMMAND gzip -9 -n -c ${OUTPUT} OUTPUT_FILE ${OUTPUT}.gz RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${OUTPUT}")
endif()
