# Writes OUT with the source tree's git commit (empty when unknown); the file
# is only touched when the commit changed, so that nothing rebuilds needlessly.
execute_process(COMMAND git -C "${SRC}" rev-parse --short=12 HEAD
  OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  set(commit "")
endif()
execute_process(COMMAND git -C "${SRC}" status --porcelain --untracked-files=no
  OUTPUT_VARIABLE dirty OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE rc)
if(rc EQUAL 0 AND NOT dirty STREQUAL "" AND NOT commit STREQUAL "")
  set(commit "${commit}-dirty")
endif()
set(text "#pragma once\n#define KIV_GIT_COMMIT \"${commit}\"\n")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUT}" "${text}")
endif()
