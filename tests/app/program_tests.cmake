# Black-box tests of the program, one CTest test per group of program_test.py.
# Each group takes tens of seconds: their COST (about their seconds) starts
# them before the short unit tests, so that none of them is left running
# alone at the end of a parallel run.
# Every run of the program starts the USB server at the fixed port 17570 and
# looks for the daemon at 7679, and brokers answer at a fixed address's port
# 80 or 443: each group runs in network and process namespaces of its own.
# Groups that start the user interface need a display (label gui), their X
# server inside the namespaces.
set(_own_namespaces ${CMAKE_CURRENT_LIST_DIR}/../support/own-namespaces.sh)
set(_own_display ${CMAKE_CURRENT_LIST_DIR}/../support/own-display.sh)
if(TARGET quarrydesk-client)
  foreach(group CommandLine ConfigWrite StartAddress GuiRun)
    set(_labels "app")
    set(_wrapper ${_own_namespaces})
    if(group STREQUAL "StartAddress" OR group STREQUAL "GuiRun")
      set(_labels "app;gui")
      list(APPEND _wrapper ${_own_display})
    endif()
    add_test(NAME program.${group}
      COMMAND ${_wrapper} /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/program_test.py $<TARGET_FILE:quarrydesk-client> ${group})
    set_tests_properties(program.${group} PROPERTIES LABELS "${_labels}" TIMEOUT 600 COST 20)
  endforeach()
  # What the programs say where they cannot do what was asked (no display,
  # no systemd, nothing to remove or decode), with their exit codes.
  add_test(NAME program.FailureReports
    COMMAND ${_own_namespaces} /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/program_test.py
            $<TARGET_FILE:quarrydesk-client> FailureReports $<TARGET_FILE:qdk-decode>)
  set_tests_properties(program.FailureReports PROPERTIES LABELS "app" TIMEOUT 600 COST 10)
  # The whole program against the demo server, each group on a display of
  # its own (screenshots of it are compared with the stream).
  if(TARGET demo-server)
    foreach(group OpenH264 LibAV Resync Screens)
      add_test(NAME program.EndToEnd${group}
        COMMAND ${_own_namespaces} ${_own_display} /usr/bin/python3
                ${CMAKE_CURRENT_LIST_DIR}/e2e_test.py $<TARGET_FILE:quarrydesk-client> $<TARGET_FILE:demo-server>
                EndToEnd${group})
      set_tests_properties(program.EndToEnd${group} PROPERTIES LABELS "app;gui" TIMEOUT 600 COST 15)
    endforeach()
    # USB sharing as the demo command runs it, in namespaces of its own (the
    # daemon's port is fixed).
    add_test(NAME program.EndToEndUsb
      COMMAND ${CMAKE_CURRENT_LIST_DIR}/../support/own-namespaces.sh ${CMAKE_CURRENT_LIST_DIR}/../support/own-display.sh
              /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/e2e_test.py $<TARGET_FILE:quarrydesk-client>
              $<TARGET_FILE:demo-server> EndToEndUsb)
    set_tests_properties(program.EndToEndUsb PROPERTIES LABELS "app;gui" TIMEOUT 600 COST 15)
  endif()
endif()
# The broker flow, from the broker's sign-in form to the demo server's
# stream, in namespaces of its own as well.
if(TARGET quarrydesk-client AND TARGET demo-server)
  add_test(NAME program.BrokerFlow
    COMMAND ${_own_namespaces} ${_own_display} /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/broker_test.py
            $<TARGET_FILE:quarrydesk-client> $<TARGET_FILE:demo-server> BrokerFlow)
  set_tests_properties(program.BrokerFlow PROPERTIES LABELS "app;gui" TIMEOUT 600 COST 40)
endif()
