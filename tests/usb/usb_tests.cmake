# USB forwarding: process helpers, the vhproxy link and daemon, service
# control and the vhProxy commands. Each test runs in a network namespace of
# its own, so that the daemon's fixed port 7679 never clashes
# and process lookups by name see only the test's own processes.
set(QDK_TEST_WRAPPER ${CMAKE_CURRENT_LIST_DIR}/../support/own-namespaces.sh)
qdk_add_test_program(usb qor_usb qor_vhserver)
unset(QDK_TEST_WRAPPER)
add_dependencies(usb_tests vhproxy)
target_compile_definitions(usb_tests PRIVATE
  VHPROXY_PROGRAM="$<TARGET_FILE:vhproxy>")

# The client's start-up without its user interface: the vhProxy commands.
add_executable(usb_startup_driver ${CMAKE_CURRENT_LIST_DIR}/programs/startup_driver.cpp)
target_link_libraries(usb_startup_driver PRIVATE qor_app)
target_compile_definitions(usb_startup_driver PRIVATE QDK_PROGRAM_DIRECTORY="${QDK_PROGRAM_DIRECTORY}/")

# The client's USB support run by another user than the test.
add_executable(usb_support_driver ${CMAKE_CURRENT_LIST_DIR}/programs/support_driver.cpp)
target_link_libraries(usb_support_driver PRIVATE qor_usb)

# The daemon as an older release would be: another version, same code.
# Only the file that reports the version is compiled again; the rest are
# the daemon's own objects.
get_target_property(_vhproxy_sources vhproxy SOURCES)
list(FILTER _vhproxy_sources INCLUDE REGEX "VHProxyDaemon\\.cpp$")
add_executable(vhproxy-old ${_vhproxy_sources}
  $<FILTER:$<TARGET_OBJECTS:vhproxy>,EXCLUDE,VHProxyDaemon\.cpp\.o$>)
target_compile_definitions(vhproxy-old PRIVATE VHPROXY_VERSION="13.9.0")
target_link_libraries(vhproxy-old PRIVATE qor_usb qor_vhserver qor_peer Poco::Foundation Poco::Net Poco::JSON Threads::Threads)

# The systemctl of the systemd stand-in (service_manager.py). A test tool,
# run for every service query: never built with a sanitizer's start-up cost.
add_executable(systemctl-double ${CMAKE_CURRENT_LIST_DIR}/programs/systemctl_double.cpp)
target_compile_options(systemctl-double PRIVATE -fno-sanitize=all)
target_link_options(systemctl-double PRIVATE -fno-sanitize=all)

add_dependencies(usb_tests usb_startup_driver usb_support_driver vhproxy-old systemctl-double
  without-socket-diagnostics)
target_compile_definitions(usb_tests PRIVATE
  WITHOUT_SOCKET_DIAGNOSTICS="$<TARGET_FILE:without-socket-diagnostics>"
  USB_STARTUP_DRIVER="$<TARGET_FILE:usb_startup_driver>"
  USB_SUPPORT_DRIVER="$<TARGET_FILE:usb_support_driver>"
  VHPROXY_OLD_PROGRAM="$<TARGET_FILE:vhproxy-old>"
  SYSTEMCTL_DOUBLE="$<TARGET_FILE:systemctl-double>")

# The same commands against the machine's own systemd, where one runs (as
# root); skipped elsewhere, as in CI.
add_test(NAME usb.RealSystemd
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/real_systemd_test.py
          $<TARGET_FILE:usb_startup_driver> $<TARGET_FILE:vhproxy>)
set_tests_properties(usb.RealSystemd PROPERTIES LABELS usb SKIP_RETURN_CODE 77 TIMEOUT 600)
