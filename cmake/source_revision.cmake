# Writes OUT with the source revision (git describe of SOURCE_DIR, "unknown"
# outside a git checkout), rewriting it only when the revision changed so that
# an unchanged tree rebuilds nothing.
execute_process(
  COMMAND git -C "${SOURCE_DIR}" describe --always --dirty --abbrev=12
  OUTPUT_VARIABLE revision
  OUTPUT_STRIP_TRAILING_WHITESPACE
  ERROR_QUIET
  RESULT_VARIABLE failed)
if(failed OR revision STREQUAL "")
  set(revision "unknown")
endif()
set(text "// Generated at build time.\n#pragma once\n#define SMD_SOURCE_REVISION \"${revision}\"\n")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUT}" "${text}")
endif()
