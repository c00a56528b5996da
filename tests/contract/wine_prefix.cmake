# ACTION=setup makes the Wine prefix PREFIX on first use; ACTION=cleanup ends
# its wineserver, if one runs. Every Wine program starts with address space
# randomisation off, as the emulator starts the suite. WINEPREFIX, WINEDEBUG
# and WINEDLLOVERRIDES come from the test's environment.
if(ACTION STREQUAL "cleanup")
  execute_process(COMMAND setarch x86_64 -R wineserver -k TIMEOUT 30 RESULT_VARIABLE ignored)
  return()
endif()
if(EXISTS "${PREFIX}/system.reg")
  return()
endif()
execute_process(COMMAND setarch x86_64 -R wineboot -i RESULT_VARIABLE result TIMEOUT 240)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "wineboot -i failed: ${result}")
endif()
execute_process(COMMAND setarch x86_64 -R wineserver -w TIMEOUT 120)
if(NOT EXISTS "${PREFIX}/system.reg")
  message(FATAL_ERROR "no Wine prefix at ${PREFIX}")
endif()
