# ACTION=setup makes the Wine prefix PREFIX on first use; ACTION=cleanup ends
# its wineserver, if one runs. WINEPREFIX, WINEDEBUG and WINEDLLOVERRIDES come
# from the test's environment.
if(ACTION STREQUAL "cleanup")
  execute_process(COMMAND wineserver -k TIMEOUT 30 RESULT_VARIABLE ignored)
  return()
endif()
if(EXISTS "${PREFIX}/system.reg")
  return()
endif()
execute_process(COMMAND wineboot -i RESULT_VARIABLE result TIMEOUT 240)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "wineboot -i failed: ${result}")
endif()
execute_process(COMMAND wineserver -w TIMEOUT 120)
if(NOT EXISTS "${PREFIX}/system.reg")
  message(FATAL_ERROR "no Wine prefix at ${PREFIX}")
endif()
