# cmake -DGROFF=... -DPAGE=... -DVERSION=... -P render_page.cmake: fails on any output of
# groff's full warnings (-ww) while it formats the page, and when the version is missing.
execute_process(COMMAND ${GROFF} -ww -z -man ${PAGE} RESULT_VARIABLE code OUTPUT_VARIABLE out
                ERROR_VARIABLE err)
if(NOT code EQUAL 0 OR NOT out STREQUAL "" OR NOT err STREQUAL "")
    message(FATAL_ERROR "${PAGE}: groff -ww exited with ${code}:\n${out}${err}")
endif()
file(STRINGS ${PAGE} title REGEX "^\\.TH ")
if(NOT title MATCHES " ${VERSION}\"")
    message(FATAL_ERROR "${PAGE}: the title line lacks the version ${VERSION}: ${title}")
endif()
