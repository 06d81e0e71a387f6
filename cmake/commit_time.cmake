# Writes the PE time stamp for the link: SOURCE_DATE_EPOCH when set, else the commit's time, else 0.
# The file changes only when the time does, so that the link reruns exactly then.
set(epoch "$ENV{SOURCE_DATE_EPOCH}")
if(epoch STREQUAL "")
  execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY ${SOURCE}
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT epoch MATCHES "^[0-9]+$")
  set(epoch 0)
endif()
set(old "")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} old)
endif()
if(NOT old STREQUAL epoch)
  file(WRITE ${OUTPUT} "${epoch}")
endif()
